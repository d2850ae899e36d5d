// The model-preparation module (tarvik_inference.modelaid): makes sure an ONNX
// model has an action-mask input, so that processors can always feed a mask.
//
// A model exported without one gets a float64 input "action_mask" of shape
// [1, n], n being the length of the action space's mask. The file is replaced
// atomically: the new model goes to a hidden sibling file, is flushed to disk
// and then renamed over the original, so readers see either the old or the new
// model, never a partial one, and a failure leaves the original untouched.
// A rewrite that was killed leaves its hidden file behind; the next rewrite
// of the same model removes it.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_set>
#include <vector>

#include <onnx/onnx_pb.h>

#include "tarvik_core/errors.hpp"
#include "tarvik_core/logging.hpp"
#include "tarvik_core/modelaid.hpp"

namespace {

using tarvik_core::EnsureActionMaskOptions;
using tarvik_core::RuntimeError;
using tarvik_core::ValueError;
namespace fs = std::filesystem;

constexpr const char* kMaskInputName = "action_mask";

tarvik_core::Logger& logger = tarvik_core::get_logger(tarvik_core::kModelaidModule);

std::string errno_text(int error) { return std::strerror(error); }

// Closes a descriptor on every path out.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const noexcept { return fd_; }
    // Closes now and reports the result: a failed close can mean lost data.
    int close() {
        const int result = ::close(fd_);
        fd_ = -1;
        return result;
    }
    // Gives up ownership: the descriptor stays open.
    int release() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

struct ModelFile {
    onnx::ModelProto model;
    mode_t mode = 0644;  // permissions to give the rewritten file
};

ModelFile read_model(const std::string& path) {
    auto unreadable = [&](const std::string& reason) {
        return ValueError("cannot read ONNX model " + path + ": " + reason);
    };
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) throw unreadable(errno_text(errno));
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) throw unreadable(errno_text(errno));
    if (!S_ISREG(info.st_mode)) throw unreadable("not a regular file");

    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(info.st_size));
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw unreadable(errno_text(errno));
        if (got == 0) break;
        bytes.append(buffer, static_cast<std::size_t>(got));
    }

    ModelFile file;
    file.mode = info.st_mode & 07777;
    if (!file.model.ParseFromString(bytes)) throw ValueError("invalid ONNX model " + path + ": not an ONNX protobuf message");
    // An empty file parses as an empty message; a model without a graph is
    // no model either.
    if (!file.model.has_graph()) throw ValueError("invalid ONNX model " + path + ": it has no graph");
    return file;
}

// The existing input the engine will feed the mask to, or null. The engine
// matches as ONNX Runtime lists the inputs: names compared in ASCII lower
// case, containing "action_mask", initializers not counted as inputs. A
// model with an "Action_Mask" input therefore has its mask input already.
const onnx::ValueInfoProto* find_mask_input(const onnx::GraphProto& graph) {
    std::unordered_set<std::string_view> initializers;
    for (const auto& init : graph.initializer()) initializers.insert(init.name());
    for (const auto& input : graph.input()) {
        std::string name = input.name();
        for (char& c : name)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (name.find(kMaskInputName) != std::string::npos && !initializers.count(input.name())) return &input;
    }
    return nullptr;
}

// True when some value of the graph other than an input is already named
// `name`: adding an input of that name would give the value two producers.
bool name_in_use(const onnx::GraphProto& graph, const std::string& name) {
    for (const auto& init : graph.initializer())
        if (init.name() == name) return true;
    for (const auto& sparse : graph.sparse_initializer())
        if (sparse.values().name() == name) return true;
    for (const auto& node : graph.node())
        for (const auto& output : node.output())
            if (output == name) return true;
    return false;
}

void add_mask_input(onnx::GraphProto& graph, std::int64_t n) {
    onnx::ValueInfoProto* input = graph.add_input();
    input->set_name(kMaskInputName);
    onnx::TypeProto_Tensor* tensor = input->mutable_type()->mutable_tensor_type();
    tensor->set_elem_type(onnx::TensorProto_DataType_DOUBLE);
    onnx::TensorShapeProto* shape = tensor->mutable_shape();
    shape->add_dim()->set_dim_value(1);
    shape->add_dim()->set_dim_value(n);
}

// The temporary file of a rewrite of `target`: ".<name>.tmp-" and the six
// letters or digits mkostemp puts in place of its XXXXXX.
std::string temporary_prefix(const fs::path& target) {
    // Built by appending: g++ 12 warns (-Wrestrict) on the chained operator+ form.
    std::string prefix = ".";
    prefix += target.filename().string();
    prefix += ".tmp-";
    return prefix;
}

bool is_temporary_of(std::string_view name, std::string_view prefix) {
    if (name.size() != prefix.size() + 6 || name.substr(0, prefix.size()) != prefix) return false;
    return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

// A rewrite holds an exclusive lock on its temporary file from creation to
// rename. A temporary of this model that nobody holds was left by a rewrite
// that was killed: it is removed (only files of exactly our naming pattern,
// and only while holding their lock, so a live rewrite is never touched).
// Best effort: whatever cannot be removed stays, and the rewrite goes on.
void remove_stale_temporaries(const std::string& model_path, const fs::path& target) {
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    const std::string prefix = temporary_prefix(target);
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!is_temporary_of(name, prefix)) continue;
        const std::string path = it->path().string();
        FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat held {}, named {};
        if (fd.get() < 0 || ::fstat(fd.get(), &held) != 0 || !S_ISREG(held.st_mode)) continue;
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) continue;  // a rewrite in progress
        // Still the file that was locked, not one renamed into place since.
        if (::lstat(path.c_str(), &named) != 0 || named.st_dev != held.st_dev || named.st_ino != held.st_ino) continue;
        if (::unlink(path.c_str()) == 0)
            logger.debug("Removed " + path + ", left by an interrupted rewrite of ONNX model " + model_path);
    }
}

// Creates the locked temporary file for a rewrite of `target` in `folder`;
// `temp_name` receives its path. A cleanup elsewhere may take a file between
// its creation and its locking (it is then no longer at its path): another
// one is made. On a file system without locks the file is used unlocked, and
// cleanups cannot lock (so never remove) it either.
int create_locked_temporary(const fs::path& folder, const fs::path& target, std::string& temp_name) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        temp_name = (folder / (temporary_prefix(target) + "XXXXXX")).string();
        FileDescriptor fd(::mkostemp(temp_name.data(), O_CLOEXEC));
        if (fd.get() < 0) return -1;
        int locked = 0;
        do locked = ::flock(fd.get(), LOCK_EX);
        while (locked != 0 && errno == EINTR);
        if (locked != 0) return fd.release();
        struct stat held {}, named {};
        if (::fstat(fd.get(), &held) == 0 && ::lstat(temp_name.c_str(), &named) == 0 &&
            named.st_dev == held.st_dev && named.st_ino == held.st_ino)
            return fd.release();
    }
    errno = EAGAIN;
    return -1;
}

// Writes `bytes` over `target` through a sibling temporary file. RuntimeError
// naming the model (as the caller called it) and the reason on any failure,
// after removing the temporary file; the target is then untouched.
void replace_file_atomically(const std::string& model_path, const fs::path& target, const std::string& bytes,
                             mode_t mode) {
    auto failure = [&](const std::string& reason) {
        return RuntimeError("cannot write ONNX model " + model_path + ": " + reason);
    };
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    std::string temp_name;
    FileDescriptor fd(create_locked_temporary(folder, target, temp_name));
    if (fd.get() < 0) throw failure("cannot create a temporary file in " + folder.string() + ": " + errno_text(errno));
    // Holds the lock until the rename is done: closing `fd` to see its
    // result must not yet let a cleanup take the file.
    const FileDescriptor lock(::dup(fd.get()));
    bool renamed = false;
    struct TempRemover {
        const std::string& path;
        const bool& renamed;
        ~TempRemover() {
            if (!renamed) ::unlink(path.c_str());
        }
    } remover{temp_name, renamed};

    // mkostemp creates the file private to its owner; keep the model's own
    // permissions instead.
    if (::fchmod(fd.get(), mode) != 0) throw failure("cannot set permissions of " + temp_name + ": " + errno_text(errno));
    const char* data = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd.get(), data, left);
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) throw failure("cannot write " + temp_name + ": " + errno_text(errno));
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    if (::fsync(fd.get()) != 0) throw failure("cannot flush " + temp_name + ": " + errno_text(errno));
    if (fd.close() != 0) throw failure("cannot close " + temp_name + ": " + errno_text(errno));
    if (::rename(temp_name.c_str(), target.c_str()) != 0)
        throw failure("cannot replace it with " + temp_name + ": " + errno_text(errno));
    renamed = true;

    // Make the rename itself durable; the model is already in place, so a
    // failure here is not worth failing the call for.
    FileDescriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());
}

std::string agent_label(const EnsureActionMaskOptions& options) {
    return options.agent ? " for agent " + options.agent->get_name() : "";
}

}  // namespace

extern "C" void tarvik_modelaid_ensure_onnx_model_has_action_mask(const std::string& onnx_path,
                                                                  const EnsureActionMaskOptions& options) {
    ModelFile file = read_model(onnx_path);
    onnx::GraphProto& graph = *file.model.mutable_graph();
    if (const onnx::ValueInfoProto* existing = find_mask_input(graph)) {
        logger.debug("ONNX model " + onnx_path + " already has the action mask input '" + existing->name() + "'");
        return;
    }
    if (!options.action_space) {
        logger.debug("No action space" + agent_label(options) + ": ONNX model " + onnx_path +
                     " left without an action_mask input");
        return;
    }
    const std::int64_t n = options.action_space->get_action_mask_space()->flatten()->flat_dim();
    if (name_in_use(graph, kMaskInputName))
        throw RuntimeError("cannot add input 'action_mask' to ONNX model " + onnx_path +
                           ": the graph already has a value of that name");
    add_mask_input(graph, n);

    std::string bytes;
    if (!file.model.SerializeToString(&bytes))
        throw RuntimeError("cannot write ONNX model " + onnx_path + ": serialising the model failed");
    // Replace the file a symbolic link points to, not the link.
    std::error_code ec;
    fs::path target = fs::canonical(onnx_path, ec);
    if (ec) target = onnx_path;
    remove_stale_temporaries(onnx_path, target);
    replace_file_atomically(onnx_path, target, bytes, file.mode);
    logger.info("Added input 'action_mask' of shape [1, " + std::to_string(n) + "] (float64)" + agent_label(options) +
                " to ONNX model " + onnx_path);
}

static_assert(std::is_same_v<decltype(tarvik_modelaid_ensure_onnx_model_has_action_mask),
                             tarvik_core::EnsureOnnxModelHasActionMaskFn>,
              "the entry point must have the type callers bind it as");
