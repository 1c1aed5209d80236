// POSIX only: the upload elsewhere copies with copy_files alone.
#if !defined(_WIN32)
#include "util/upload_copy.h"

#include "core/builtin.h"
#include "core/common_names.h"
#include "core/globals.h"
#include "core/module_names.h"
#include "util/steps.h"
#include "util/upload_guard.h"
#include "util/util.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>
#include <vector>

namespace vesk {
namespace {

constexpr const char* kNotAFolder = "%U is a file, not a folder: the upload cannot copy into it";
constexpr const char* kNotAFile = "%U is not a file: the upload cannot copy a file over it";
constexpr const char* kALink = "%U is a link: the upload never writes through a link";
constexpr const char* kNameTooLong = "the name %R in %U is longer than the %ld bytes a name may have there";
constexpr const char* kPathTooLong = "%U is longer than the %d bytes a path may have";
constexpr const char* kLinkLoop = "%U leads back to %U, which holds it: its copy would never end";
constexpr const char* kTooManyDirectories = "Too many directories.";
constexpr long kMaxDirectories = 10;  // as copy_files counts
constexpr int kPathMax = PATH_MAX;

const Name normpath_name("normpath"), sep_name("sep"), split_name("split"), loading_prefix("loading: "),
    same_file_error_name("SameFileError");

Ref fs_bytes(PyObject* path) { return check(PyUnicode_EncodeFSDefault(path)); }
const char* bytes_of(const Ref& bytes) { return PyBytes_AS_STRING(bytes.get()); }

[[noreturn]] void raise_errno(PyObject* path) {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    throw_error();
}

[[noreturn]] void refuse(const char* format, PyObject* a, PyObject* b) {
    raise_instance(builtins().ValueError, check(PyUnicode_FromFormat(format, a, b)).get());
}

[[noreturn]] void refuse(const char* format, PyObject* path) {
    raise_instance(builtins().ValueError, check(PyUnicode_FromFormat(format, formatted(path).get())).get());
}

class Descriptor {
public:
    explicit Descriptor(int fd = -1) noexcept : fd_(fd) {}
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

// The components of folder_name below the bundle folder, "." and ".."
// resolved by name (refuse_escape has made sure none leads out).
std::vector<Ref> name_components(PyObject* folder_name) {
    std::vector<Ref> components;
    if (PyUnicode_GET_LENGTH(folder_name) == 0) return components;
    Ref normal = os_path(normpath_name, folder_name);
    Ref os = global(kOs);
    Ref sep = getattr(os.get(), sep_name);
    Ref parts = call_method(normal.get(), split_name, sep.get());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parts.get()); ++i) {
        PyObject* part = PyList_GET_ITEM(parts.get(), i);  // borrowed
        if (PyUnicode_GET_LENGTH(part) == 0 || PyUnicode_CompareWithASCIIString(part, ".") == 0) continue;
        components.push_back(Ref::borrow(part));
    }
    return components;
}

bool is_kept_entry(PyObject* name) {
    return PyUnicode_CompareWithASCIIString(name, "assets") == 0 ||
           PyUnicode_CompareWithASCIIString(name, "index.html") == 0;
}

struct Limits {
    long name_max;
};

void refuse_long_name(PyObject* name, PyObject* folder, const Limits& limits) {
    Ref bytes = fs_bytes(name);
    if (PyBytes_GET_SIZE(bytes.get()) > limits.name_max) {
        raise_instance(builtins().ValueError,
                       check(PyUnicode_FromFormat(kNameTooLong, name, formatted(folder).get(), limits.name_max)).get());
    }
}

void refuse_long_path(PyObject* path) {
    Ref bytes = fs_bytes(path);
    if (PyBytes_GET_SIZE(bytes.get()) >= kPathMax) {
        raise_instance(builtins().ValueError,
                       check(PyUnicode_FromFormat(kPathTooLong, formatted(path).get(), kPathMax)).get());
    }
}

enum class Need { folder, file };

// What the copy meets at `path` once the bundle folder is cleared: true for
// a folder it goes on into, false for nothing (the copy makes the folder, or
// the file). Refuses what the copy would fail on or write through. `parent`
// is false when nothing is at the parent folder by then.
bool there_after_clearing(PyObject* path, PyObject* name, bool parent, bool parent_is_bundle, Need need) {
    if (!parent) return false;
    Ref bytes = fs_bytes(path);
    struct stat status, target;
    if (::lstat(bytes_of(bytes), &status) != 0) return false;
    const bool link = S_ISLNK(status.st_mode);
    const bool followed = !link || ::stat(bytes_of(bytes), &target) == 0;
    if (link && followed) status = target;
    if (parent_is_bundle && !is_kept_entry(name) && followed && (S_ISREG(status.st_mode) || S_ISDIR(status.st_mode))) {
        return false;  // cleared, with everything below it
    }
    if (link) refuse(kALink, path);
    if (need == Need::folder && !S_ISDIR(status.st_mode)) refuse(kNotAFolder, path);
    if (need == Need::file && !S_ISREG(status.st_mode)) refuse(kNotAFile, path);
    return need == Need::folder;
}

// The folders the copy makes for folder_name; true when the last one is
// there after the clearing.
bool check_destination(PyObject* bundle, PyObject* folder_name, const Limits& limits) {
    Ref folder = Ref::borrow(bundle);
    bool there = true, in_bundle = true;
    for (const Ref& part : name_components(folder_name)) {
        refuse_long_name(part.get(), folder.get(), limits);
        folder = os_path(kJoin, folder.get(), part.get());
        refuse_long_path(folder.get());
        there = there_after_clearing(folder.get(), part.get(), there, in_bundle, Need::folder);
        in_bundle = false;
    }
    return there;
}

using Identity = std::pair<dev_t, ino_t>;

struct Walk {
    PyObject* bundle;
    PyObject* destination;
    Limits limits;
    std::vector<std::pair<Identity, Ref>> open_folders;  // the folders being walked, outermost first
};

// Walks the source as copy_files does. False once the sub-folder limit
// is reached: the copy stops there, so the walk does too.
bool walk(Walk& state, PyObject* source, PyObject* destination, long index, bool there, bool is_bundle) {
    Ref listing = os_call(kListdir, source);
    Ref iterator = check(PyObject_GetIter(listing.get()));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref source_path = os_path(kJoin, source, item.get());
        Ref destination_path = os_path(kJoin, destination, item.get());
        refuse_long_name(item.get(), destination, state.limits);
        refuse_long_path(source_path.get());
        refuse_long_path(destination_path.get());
        Ref bytes = fs_bytes(source_path.get());
        struct stat status;
        if (::lstat(bytes_of(bytes), &status) != 0) continue;
        if (S_ISLNK(status.st_mode)) refuse_overlap(source_path.get(), state.bundle, state.destination);
        if (::stat(bytes_of(bytes), &status) != 0) continue;
        if (S_ISREG(status.st_mode)) {
            there_after_clearing(destination_path.get(), item.get(), there, is_bundle, Need::file);
            continue;
        }
        if (!S_ISDIR(status.st_mode)) continue;
        if (++index > kMaxDirectories) return false;
        const bool inner_there =
            there_after_clearing(destination_path.get(), item.get(), there, is_bundle, Need::folder);
        const Identity identity{status.st_dev, status.st_ino};
        for (const auto& [open_identity, open_path] : state.open_folders) {
            if (open_identity == identity)
                refuse(kLinkLoop, formatted(source_path.get()).get(), formatted(open_path.get()).get());
        }
        state.open_folders.emplace_back(identity, source_path.copy());
        if (!walk(state, source_path.get(), destination_path.get(), index, inner_there, false)) return false;
        state.open_folders.pop_back();
    }
    if (PyErr_Occurred()) throw_error();
    return true;
}

// mkdir when missing, as copy_files's makedirs, then open without following
// a link: a link there fails with ELOOP, and nothing is written through it.
Descriptor open_folder(int parent, PyObject* name, PyObject* shown) {
    Ref bytes = fs_bytes(name);
    if (::mkdirat(parent, bytes_of(bytes), 0777) != 0 && errno != EEXIST) raise_errno(shown);
    Descriptor folder(::openat(parent, bytes_of(bytes), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folder.get() < 0) raise_errno(shown);
    return folder;
}

// shutil.copy2 into an open folder: content, permission bits and times; a
// link in the file's place is not followed.
void copy_file(PyObject* source, int folder, PyObject* name, PyObject* shown) {
    Ref source_bytes = fs_bytes(source), name_bytes = fs_bytes(name);
    Descriptor in(::open(bytes_of(source_bytes), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0) raise_errno(source);
    struct stat from, to;
    if (::fstat(in.get(), &from) != 0) raise_errno(source);
    // Non-blocking: a named pipe put there fails at once instead of waiting.
    Descriptor out(
        ::openat(folder, bytes_of(name_bytes), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
    if (out.get() < 0) raise_errno(shown);
    if (::fstat(out.get(), &to) != 0) raise_errno(shown);
    if (!S_ISREG(to.st_mode)) {
        errno = EINVAL;
        raise_errno(shown);
    }
    if (from.st_dev == to.st_dev && from.st_ino == to.st_ino) {
        Ref shutil = global(kShutil);
        Ref error_type = getattr(shutil.get(), same_file_error_name);
        Ref message = check(PyUnicode_FromFormat("%R and %R are the same file", source, shown));
        raise_instance(error_type.get(), message.get());
    }
    int failed_errno = 0;
    bool failed_on_read = false;
    Py_BEGIN_ALLOW_THREADS if (::ftruncate(out.get(), 0) != 0) failed_errno = errno;
    char buffer[1 << 16];
    while (failed_errno == 0) {
        const ssize_t got = ::read(in.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            failed_errno = errno;
            failed_on_read = true;
            break;
        }
        if (got == 0) break;
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::write(out.get(), buffer + done, static_cast<size_t>(got - done));
            if (put < 0) {
                if (errno == EINTR) continue;
                failed_errno = errno;
                break;
            }
            done += put;
        }
    }
    if (failed_errno == 0 && ::fchmod(out.get(), from.st_mode & 07777) != 0) failed_errno = errno;
    const struct timespec times[2] = {from.st_atim, from.st_mtim};
    if (failed_errno == 0 && ::futimens(out.get(), times) != 0) failed_errno = errno;
    Py_END_ALLOW_THREADS if (failed_errno != 0) {
        errno = failed_errno;
        raise_errno(failed_on_read ? source : shown);
    }
}

void copy_tree(PyObject* source, int folder, PyObject* shown, long index) {
    Ref listing = os_call(kListdir, source);
    Ref iterator = check(PyObject_GetIter(listing.get()));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref source_path = os_path(kJoin, source, item.get());
        Ref destination_path = os_path(kJoin, shown, item.get());
        if (is_true(os_path(kIsfile, source_path.get()).get())) {
            copy_file(source_path.get(), folder, item.get(), destination_path.get());
            print_line(join_text({loading_prefix.get(), formatted(source_path.get()).get()}).get());
        } else if (is_true(os_path(kIsdir, source_path.get()).get())) {
            if (++index > kMaxDirectories) raise_instance(builtins().RecursionError, str(kTooManyDirectories).get());
            Descriptor inner = open_folder(folder, item.get(), destination_path.get());
            copy_tree(source_path.get(), inner.get(), destination_path.get(), index);
        }
    }
    if (PyErr_Occurred()) throw_error();
}

}  // namespace

void refuse_predictable_failure(PyObject* source, PyObject* bundle, PyObject* folder_name, PyObject* destination) {
    Ref bundle_bytes = fs_bytes(bundle);
    errno = 0;
    long name_max = ::pathconf(bytes_of(bundle_bytes), _PC_NAME_MAX);
    if (name_max <= 0) name_max = NAME_MAX;
    Walk state{bundle, destination, {name_max}, {}};
    const bool there = check_destination(bundle, folder_name, state.limits);
    const bool is_bundle = PyUnicode_GET_LENGTH(folder_name) == 0 || name_components(folder_name).empty();
    Ref source_bytes = fs_bytes(source);
    struct stat status;
    if (::stat(bytes_of(source_bytes), &status) == 0) {
        state.open_folders.emplace_back(Identity{status.st_dev, status.st_ino}, Ref::borrow(source));
    }
    walk(state, source, destination, 0, there, is_bundle);
}

bool copy_files_is_standard() {
    Ref copy_files = global(kCopyFiles);
    auto* entry = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&builtin_entry<copy_files_spec>));
    return PyCFunction_Check(copy_files.get()) && PyCFunction_GET_FUNCTION(copy_files.get()) == entry;
}

void copy_into_bundle(PyObject* source, PyObject* bundle, PyObject* folder_name, PyObject* destination) {
    Ref bundle_bytes = fs_bytes(bundle);
    Descriptor folder(::open(bytes_of(bundle_bytes), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() < 0) raise_errno(bundle);
    Ref shown = Ref::borrow(bundle);
    for (const Ref& part : name_components(folder_name)) {
        shown = os_path(kJoin, shown.get(), part.get());
        folder = open_folder(folder.get(), part.get(), shown.get());
    }
    copy_tree(source, folder.get(), destination, 0);
}

}  // namespace vesk
#endif  // !_WIN32
