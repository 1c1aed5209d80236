// The names bound in the module namespace that the C++ bodies look up with
// global() at each use, so that rebinding one is honoured. The module body
// (module/body.cpp) binds them under these names; the import system sets __file__.
#pragma once
#include "core/name.h"

namespace vesk {

// Imports of the module body.
extern const Name kAbstractmethod, kAsyncio, kWebsockets, kGym, kNp, kOs, kJson, kQueue, kWraps, kShutil;
// Functions of the module and its own file.
extern const Name kConvertNumpyToList, kCopyFiles, kUpload, kModuleFile;

}  // namespace vesk
