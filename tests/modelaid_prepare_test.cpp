// Model preparation: adding the action-mask input once, with the right shape
// and element type, and never leaving a damaged or half-written model.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <onnx/onnx_pb.h>

#include "support/expect_error.hpp"
#include "support/log_capture.hpp"
#include "support/temp_dir.hpp"
#include "tarvik_core/modelaid.hpp"

using namespace tarvik_core;
namespace fs = std::filesystem;

namespace {

using tarvik_test::expect_error;

void add_tensor_value(onnx::ValueInfoProto* value, const std::string& name, int elem_type,
                      std::vector<std::int64_t> dims) {
    value->set_name(name);
    auto* tensor = value->mutable_type()->mutable_tensor_type();
    tensor->set_elem_type(elem_type);
    for (auto d : dims) tensor->mutable_shape()->add_dim()->set_dim_value(d);
}

// A policy: observation [1, obs] -> MatMul with a weight matrix -> logits
// [1, logits]. The weights make the file large enough to fail mid-write.
onnx::ModelProto policy_model(int obs, int logits, const std::string& obs_input = "observation") {
    onnx::ModelProto model;
    model.set_ir_version(8);
    model.add_opset_import()->set_version(13);
    auto* graph = model.mutable_graph();
    graph->set_name("policy");
    add_tensor_value(graph->add_input(), obs_input, onnx::TensorProto_DataType_FLOAT, {1, obs});
    auto* weights = graph->add_initializer();
    weights->set_name("W");
    weights->set_data_type(onnx::TensorProto_DataType_FLOAT);
    weights->add_dims(obs);
    weights->add_dims(logits);
    for (int i = 0; i < obs * logits; ++i) weights->add_float_data(0.01f * static_cast<float>(i));
    auto* matmul = graph->add_node();
    matmul->set_op_type("MatMul");
    matmul->add_input(obs_input);
    matmul->add_input("W");
    matmul->add_output("action_dist_inputs");
    add_tensor_value(graph->add_output(), "action_dist_inputs", onnx::TensorProto_DataType_FLOAT, {1, logits});
    return model;
}

std::string read_bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

onnx::ModelProto read_model(const fs::path& path) {
    onnx::ModelProto model;
    EXPECT_TRUE(model.ParseFromString(read_bytes(path))) << path;
    return model;
}

std::vector<std::string> folder_entries(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

spaces::SpacePtr discrete(std::int64_t n) { return std::make_shared<spaces::Discrete>(n); }

class ModelaidPrepare : public ::testing::Test {
protected:
    fs::path write_model(const onnx::ModelProto& model, const std::string& name = "policy.onnx") {
        return dir.write(name, model.SerializeAsString());
    }
    void ensure(const fs::path& path, spaces::SpacePtr action_space, GraphNodePtr agent = nullptr) {
        bind_ensure_onnx_model_has_action_mask()(path.string(), {.action_space = std::move(action_space),
                                                                 .agent = std::move(agent)});
    }

    tarvik_test::TempDir dir;
    tarvik_test::LogCapture logs{"tarvik_inference.modelaid"};
};

TEST_F(ModelaidPrepare, AddsAFloat64MaskInputSizedToTheActionDistribution) {
    struct Case {
        const char* label;
        spaces::SpacePtr space;
        std::int64_t n;
    };
    const std::vector<Case> cases = {
        {"Discrete(3)", discrete(3), 3},
        {"MultiDiscrete([2, 3])", std::make_shared<spaces::MultiDiscrete>(std::vector<std::int64_t>{2, 3}), 5},
        {"Box of 2", std::make_shared<spaces::Box>(-1.0, 1.0, Shape{2}), 4},
        {"MultiBinary(4)", std::make_shared<spaces::MultiBinary>(std::int64_t{4}), 4},
        {"Tuple", std::make_shared<spaces::Tuple>(std::vector<spaces::SpacePtr>{discrete(2), discrete(5)}), 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const onnx::ModelProto original = policy_model(4, 3);
        const fs::path path = write_model(original, std::string(c.label) + ".onnx");
        ensure(path, c.space);

        onnx::ModelProto updated = read_model(path);
        const auto& inputs = updated.graph().input();
        ASSERT_EQ(inputs.size(), 2);
        const auto& mask = inputs[1];
        EXPECT_EQ(mask.name(), "action_mask");
        EXPECT_EQ(mask.type().tensor_type().elem_type(), onnx::TensorProto_DataType_DOUBLE);
        const auto& dims = mask.type().tensor_type().shape().dim();
        ASSERT_EQ(dims.size(), 2);
        EXPECT_EQ(dims[0].dim_value(), 1);
        EXPECT_EQ(dims[1].dim_value(), c.n);
        EXPECT_EQ(c.n, c.space->action_dist_size()) << "the mask lines up with the model's logits";

        // Nothing else changed.
        updated.mutable_graph()->mutable_input()->RemoveLast();
        EXPECT_EQ(updated.SerializeAsString(), original.SerializeAsString());
        EXPECT_EQ(logs.messages(LogLevel::info).back(), "Added input 'action_mask' of shape [1, " +
                                                            std::to_string(c.n) + "] (float64) to ONNX model " +
                                                            path.string());
    }
}

TEST_F(ModelaidPrepare, SecondCallLeavesTheFileByteForByte) {
    const fs::path path = write_model(policy_model(4, 3));
    ensure(path, discrete(3));
    const std::string after_first = read_bytes(path);
    logs.clear();
    ensure(path, discrete(3));
    EXPECT_EQ(read_bytes(path), after_first);
    EXPECT_TRUE(logs.messages(LogLevel::info).empty());
    EXPECT_EQ(logs.messages(LogLevel::debug),
              (std::vector<std::string>{"ONNX model " + path.string() + " already has the action mask input 'action_mask'"}));
}

// The engine feeds the mask to every input whose name, in lower case,
// contains "action_mask": such a model is left byte for byte, whatever the
// case of the name, rather than given a second, unused mask input.
TEST_F(ModelaidPrepare, AnyInputNameContainingActionMaskInAnyCaseCounts) {
    for (const char* name : {"obs_action_mask_in", "Action_Mask", "ACTION_MASK_0"}) {
        SCOPED_TRACE(name);
        onnx::ModelProto model = policy_model(4, 3);
        add_tensor_value(model.mutable_graph()->add_input(), name, onnx::TensorProto_DataType_FLOAT, {1, 3});
        const fs::path path = write_model(model, std::string(name) + ".onnx");
        const std::string before = read_bytes(path);
        ensure(path, discrete(3));
        EXPECT_EQ(read_bytes(path), before);
    }
}

// An initializer listed among the inputs is a constant to the engine, not an
// input it feeds: a mask input is still added.
TEST_F(ModelaidPrepare, AnInitializerNamedLikeAMaskIsNoMaskInput) {
    onnx::ModelProto model = policy_model(4, 3);
    auto* graph = model.mutable_graph();
    add_tensor_value(graph->add_input(), "action_mask_scale", onnx::TensorProto_DataType_FLOAT, {1});
    auto* scale = graph->add_initializer();
    scale->set_name("action_mask_scale");
    scale->set_data_type(onnx::TensorProto_DataType_FLOAT);
    scale->add_dims(1);
    scale->add_float_data(1.0f);
    const fs::path path = write_model(model);
    ensure(path, discrete(3));
    const onnx::ModelProto updated = read_model(path);
    const auto& inputs = updated.graph().input();
    ASSERT_EQ(inputs.size(), 3);
    EXPECT_EQ(inputs[2].name(), "action_mask");
}

TEST_F(ModelaidPrepare, WithoutActionSpaceTheFileIsLeftAlone) {
    const fs::path path = write_model(policy_model(4, 3));
    const std::string before = read_bytes(path);
    auto agent = std::make_shared<Agent>(AgentDefinition{.name = "pilot"});
    ensure(path, nullptr, agent);
    EXPECT_EQ(read_bytes(path), before);
    EXPECT_EQ(logs.messages(LogLevel::debug),
              (std::vector<std::string>{"No action space for agent pilot: ONNX model " + path.string() +
                                        " left without an action_mask input"}));
}

TEST_F(ModelaidPrepare, AgentIsNamedInTheInfoLine) {
    const fs::path path = write_model(policy_model(2, 2));
    ensure(path, discrete(2), std::make_shared<Agent>(AgentDefinition{.name = "pilot"}));
    EXPECT_EQ(logs.messages(LogLevel::info),
              (std::vector<std::string>{"Added input 'action_mask' of shape [1, 2] (float64) for agent pilot to "
                                        "ONNX model " + path.string()}));
}

TEST_F(ModelaidPrepare, UnreadableModelsRaiseValueErrorAndStayAsTheyWere) {
    struct Case {
        const char* label;
        std::string contents;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {"garbage", "not an onnx model\n", "invalid ONNX model {}: not an ONNX protobuf message"},
        {"empty", "", "invalid ONNX model {}: it has no graph"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const fs::path path = dir.write(std::string(c.label) + ".onnx", c.contents);
        std::string message = c.reason;
        message.replace(message.find("{}"), 2, path.string());
        expect_error([&] { ensure(path, discrete(3)); }, "ValueError", message);
        EXPECT_EQ(read_bytes(path), c.contents);
    }
    const fs::path missing = dir / "missing.onnx";
    expect_error([&] { ensure(missing, discrete(3)); }, "ValueError",
                 "cannot read ONNX model " + missing.string() + ": No such file or directory");
    fs::create_directory(dir / "folder.onnx");
    expect_error([&] { ensure(dir / "folder.onnx", discrete(3)); }, "ValueError",
                 "cannot read ONNX model " + (dir / "folder.onnx").string() + ": not a regular file");
}

TEST_F(ModelaidPrepare, NameTakenByAnotherValueIsRefusedWithoutWriting) {
    onnx::ModelProto model = policy_model(4, 3);
    auto* node = model.mutable_graph()->add_node();
    node->set_op_type("Identity");
    node->add_input("action_dist_inputs");
    node->add_output("action_mask");
    const fs::path path = write_model(model);
    const std::string before = read_bytes(path);
    expect_error([&] { ensure(path, discrete(3)); }, "RuntimeError",
                 "cannot add input 'action_mask' to ONNX model " + path.string() +
                     ": the graph already has a value of that name");
    EXPECT_EQ(read_bytes(path), before);
}

// Lowers the largest file this process may write, so that writing the new
// model fails half-way even for a privileged user.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        previous_handler_ = ::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = saved_;
        lowered.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        ::signal(SIGXFSZ, previous_handler_);
    }

private:
    rlimit saved_{};
    sighandler_t previous_handler_;
};

TEST_F(ModelaidPrepare, FailedWriteKeepsTheOriginalAndLeavesNoTemporaryFile) {
    const fs::path path = write_model(policy_model(64, 8));
    const std::string before = read_bytes(path);
    ASSERT_GT(before.size(), 1024u);
    try {
        FileSizeLimit limit(1024);
        ensure(path, discrete(8));
        FAIL() << "writing past the file size limit must fail";
    } catch (const RuntimeError& e) {
        const std::string message = e.what();
        const std::string prefix = "cannot write ONNX model " + path.string() + ": cannot write " +
                                   (fs::canonical(dir.path()) / ".policy.onnx.tmp-").string();
        EXPECT_EQ(message.rfind(prefix, 0), 0u) << message;
        EXPECT_TRUE(message.ends_with(": File too large")) << message;
    }
    EXPECT_EQ(read_bytes(path), before);
    EXPECT_EQ(folder_entries(dir.path()), (std::vector<std::string>{"policy.onnx"}));
    EXPECT_TRUE(logs.messages(LogLevel::info).empty());
}

// A rewrite killed half-way leaves its hidden copy of the model; the next
// rewrite removes exactly such files of that model, unless a rewrite in
// progress holds one, and leaves everything else alone.
TEST_F(ModelaidPrepare, StaleTemporariesOfTheModelAreRemovedBeforeTheRewrite) {
    const fs::path path = write_model(policy_model(4, 3));
    const std::vector<std::string> kept = {
        ".policy.onnx.tmp-Ab3d9",    ".policy.onnx.tmp-Ab3d9Zx", ".policy.onnx.tmp-Ab3d_Z", ".other.onnx.tmp-Ab3d9Z",
        "policy.onnx.tmp-Ab3d9Z",    ".policy.onnx.tmp-busy01",  "notes.txt",
    };
    for (const auto& name : kept) dir.write(name, "x");
    dir.write(".policy.onnx.tmp-Ab3d9Z", "stale copy");
    fs::create_directory(dir / ".policy.onnx.tmp-folder");
    // A live rewrite holds the lock on its file.
    const int busy = ::open((dir / ".policy.onnx.tmp-busy01").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(busy, LOCK_EX), 0);

    ensure(path, discrete(3));
    ::close(busy);
    EXPECT_EQ(read_model(path).graph().input_size(), 2);
    std::vector<std::string> expected = kept;
    expected.insert(expected.end(), {".policy.onnx.tmp-folder", "policy.onnx"});
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(folder_entries(dir.path()), expected);
    EXPECT_EQ(logs.messages(LogLevel::debug),
              (std::vector<std::string>{"Removed " + (fs::canonical(dir.path()) / ".policy.onnx.tmp-Ab3d9Z").string() +
                                        ", left by an interrupted rewrite of ONNX model " + path.string()}));
}

TEST_F(ModelaidPrepare, ReadOnlyFolderIsAWriteErrorNamingTheFolder) {
    if (::geteuid() == 0) GTEST_SKIP() << "folder permissions do not bind a privileged user";
    const fs::path path = write_model(policy_model(4, 3));
    const std::string before = read_bytes(path);
    fs::permissions(dir.path(), fs::perms::owner_read | fs::perms::owner_exec);
    expect_error([&] { ensure(path, discrete(3)); }, "RuntimeError",
                 "cannot write ONNX model " + path.string() + ": cannot create a temporary file in " +
                     fs::canonical(dir.path()).string() + ": Permission denied");
    fs::permissions(dir.path(), fs::perms::owner_all);
    EXPECT_EQ(read_bytes(path), before);
    EXPECT_EQ(folder_entries(dir.path()), (std::vector<std::string>{"policy.onnx"}));
}

TEST_F(ModelaidPrepare, RewriteKeepsPermissionsAndReplacesTheTargetOfALink) {
    const fs::path real = write_model(policy_model(4, 3), "models/real.onnx");
    fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    const fs::path link = dir / "link.onnx";
    fs::create_symlink(real, link);

    ensure(link, discrete(3));
    EXPECT_TRUE(fs::is_symlink(link)) << "the link itself must stay a link";
    EXPECT_EQ(read_model(real).graph().input_size(), 2);
    EXPECT_EQ(fs::status(real).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(folder_entries(dir / "models"), (std::vector<std::string>{"real.onnx"}));
}

}  // namespace
