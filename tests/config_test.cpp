// Where the model configuration comes from, and what a bad one says.
#include <droidlens/config.hpp>
#include <droidlens/errors.hpp>

#include "test_support.hpp"

#include <map>

using namespace droidlens;

namespace {
std::map<std::string, std::string> g_env;
std::optional<std::string> fake_env(const char* name) {
    auto it = g_env.find(name);
    if (it == g_env.end()) return std::nullopt;
    return it->second;
}
}  // namespace

class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override { g_env.clear(); }
};

TEST_F(ConfigTest, FlagsBeatEnvironmentWhichBeatsTheFileWhichBeatsDefaults) {
    testsupport::TempDir tmp;
    testsupport::write_text(tmp.path() / "c.json",
                            R"({"base_url": "http://file/v1", "model": "file-model", "temperature": 0.7,
                                "max_tokens": 100, "api_key": "file-key"})");
    ConfigOverrides flags;
    flags.config_file = tmp.file("c.json");

    ModelConfig c = load_model_config(flags, &fake_env);
    EXPECT_EQ(c.base_url, "http://file/v1");
    EXPECT_EQ(c.model, "file-model");
    EXPECT_EQ(c.api_key, "file-key");
    EXPECT_DOUBLE_EQ(c.temperature, 0.7);
    EXPECT_EQ(c.max_tokens, 100);
    EXPECT_DOUBLE_EQ(c.timeout, 120.0);  // default

    g_env = {{"OPENAI_BASE_URL", "http://openai/v1"}, {"DROIDLENS_MODEL", "env-model"},
             {"OPENAI_API_KEY", "openai-key"}, {"DROIDLENS_TIMEOUT", "7.5"}};
    c = load_model_config(flags, &fake_env);
    EXPECT_EQ(c.base_url, "http://openai/v1");
    EXPECT_EQ(c.model, "env-model");
    EXPECT_EQ(c.api_key, "openai-key");
    EXPECT_DOUBLE_EQ(c.timeout, 7.5);

    g_env["DROIDLENS_BASE_URL"] = "http://droidlens/v1";  // preferred over OPENAI_BASE_URL
    g_env["DROIDLENS_API_KEY"] = "dl-key";
    flags.model = "flag-model";
    flags.temperature = 0.0;
    c = load_model_config(flags, &fake_env);
    EXPECT_EQ(c.base_url, "http://droidlens/v1");
    EXPECT_EQ(c.api_key, "dl-key");
    EXPECT_EQ(c.model, "flag-model");
    EXPECT_DOUBLE_EQ(c.temperature, 0.0);
}

TEST_F(ConfigTest, EmptyEnvironmentValuesCountAsUnset) {
    g_env = {{"DROIDLENS_BASE_URL", ""}, {"OPENAI_BASE_URL", "http://fallback/v1"}};
    EXPECT_EQ(load_model_config({}, &fake_env).base_url, "http://fallback/v1");
}

TEST_F(ConfigTest, MalformedValuesAreRejectedWithoutEchoingTheKey) {
    g_env = {{"DROIDLENS_TEMPERATURE", "warm"}};
    EXPECT_THROW_MSG(load_model_config({}, &fake_env), ValueError,
                     "Invalid DROIDLENS_TEMPERATURE: 'warm' (expected a number)");
    g_env = {{"DROIDLENS_MAX_TOKENS", "12.5"}};
    EXPECT_THROW(load_model_config({}, &fake_env), ValueError);
    g_env = {{"DROIDLENS_TIMEOUT", "0"}};
    EXPECT_THROW(load_model_config({}, &fake_env), ValueError);
    g_env.clear();

    testsupport::TempDir tmp;
    ConfigOverrides flags;
    flags.config_file = tmp.file("c.json");
    testsupport::write_text(tmp.path() / "c.json", R"({"api_key": 12345678})");
    try {
        load_model_config(flags, &fake_env);
        FAIL() << "expected ValueError";
    } catch (const ValueError& e) {
        EXPECT_EQ(std::string(e.what()).find("12345678"), std::string::npos);
    }
    testsupport::write_text(tmp.path() / "c.json", R"({"modle": "x"})");
    EXPECT_THROW(load_model_config(flags, &fake_env), ValueError);
    testsupport::write_text(tmp.path() / "c.json", "{not json");
    EXPECT_THROW(load_model_config(flags, &fake_env), ValueError);
    // A file that breaks inside the key's string: the parser would quote what it
    // last read, the key itself. Only the position is reported.
    testsupport::write_text(tmp.path() / "c.json", "{\n  \"model\": \"m\",\n  \"api_key\": \"sk-live-0123456789abcdef\n}");
    EXPECT_THROW_MSG(load_model_config(flags, &fake_env), ValueError,
                     "Config file '" + tmp.file("c.json") + "' is not valid JSON (line 3, column 39)");
    testsupport::write_text(tmp.path() / "c.json", R"({"max_tokens": 1.5e400})");
    EXPECT_THROW_MSG(load_model_config(flags, &fake_env), ValueError,
                     "Config file '" + tmp.file("c.json") + "' is not valid JSON (a number is out of range)");
    flags.config_file = tmp.file("missing.json");
    EXPECT_THROW(load_model_config(flags, &fake_env), FileSystemError);
}

TEST_F(ConfigTest, AMissingServiceOrModelIsNamed) {
    ModelConfig c;
    EXPECT_THROW_MSG(require_model_service(c), ValueError,
                     "No model service configured: set --base-url or DROIDLENS_BASE_URL (or OPENAI_BASE_URL)");
    c.base_url = "http://x/v1";
    EXPECT_THROW_MSG(require_model_service(c), ValueError, "No model configured: set --model or DROIDLENS_MODEL");
    c.model = "m";
    EXPECT_NO_THROW(require_model_service(c));
}
