#include "core/module_names.h"

namespace vesk {

const Name kAbstractmethod("abstractmethod"), kAsyncio("asyncio"), kWebsockets("websockets"), kGym("gym"), kNp("np"),
    kOs("os"), kJson("json"), kQueue("queue"), kWraps("wraps"), kShutil("shutil");
const Name kConvertNumpyToList("convert_numpy_to_list"), kCopyFiles("copy_files"), kUpload("upload"),
    kModuleFile("__file__");

}  // namespace vesk
