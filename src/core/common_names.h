// Attribute and method names of library objects (queues, numpy, json,
// os.path, code objects, coroutines) that more than one file uses. A name
// only one file needs is declared in that file.
#pragma once
#include "core/name.h"

namespace vesk {

extern const Name kGet, kPut, kEmpty,           // queue.Queue and queue.Empty
    kSend, kClose,                              // coroutines, websockets
    kJoin,                                      // os.path, threads
    kExists, kIsdir, kIsfile, kListdir, kPath,  // os and os.path
    kNdarray, kFloat32, kDtype, kTolist,        // numpy
    kDumps,                                     // json
    kWaitFor, kTimeoutError,                    // asyncio
    kReplace,                                   // code objects, str
    kEmptyText;                                 // ""

// Library modules imported by name (those bound in the module namespace,
// kAsyncio, kQueue and the rest, are in module_names.h).
extern const Name kBuiltinsModule, kThreadModule, kThreading, kCJson, kAst, kCollectionsAbc;

}  // namespace vesk
