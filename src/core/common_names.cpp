#include "core/common_names.h"

namespace vesk {

const Name kGet("get"), kPut("put"), kEmpty("Empty"), kSend("send"), kClose("close"), kJoin("join"), kExists("exists"),
    kIsdir("isdir"), kIsfile("isfile"), kListdir("listdir"), kPath("path"), kNdarray("ndarray"), kFloat32("float32"),
    kDtype("dtype"), kTolist("tolist"), kDumps("dumps"), kWaitFor("wait_for"), kTimeoutError("TimeoutError"),
    kReplace("replace"), kEmptyText("");
const Name kBuiltinsModule("builtins"), kThreadModule("_thread"), kThreading("threading"), kCJson("_json"), kAst("ast"),
    kCollectionsAbc("collections.abc");

}  // namespace vesk
