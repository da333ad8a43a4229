// The droidlens command: arguments -> configuration -> route -> result JSON on stdout.
#include <droidlens/droidlens.hpp>
#include <droidlens/mcp.hpp>

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <memory>


namespace {

// The help text's description, with one line per mode from the router's table.
std::string description() {
    std::string text = "droidlens: let a vision language model read and operate Android screens.\n\nModes:\n";
    for (const droidlens::ModeInfo& m : droidlens::modes()) {
        std::string name = m.name;
        name.resize(10, ' ');
        text += "  " + name + m.summary + "\n";
    }
    text += "  mcp       serve every mode as a tool of a Model Context Protocol server on stdin/stdout\n";
    text +=
        "\nThe result record is printed as JSON on standard output; progress lines go to\n"
        "standard error. Model settings come from the flags, then the environment\n"
        "(DROIDLENS_BASE_URL or OPENAI_BASE_URL, DROIDLENS_API_KEY or OPENAI_API_KEY,\n"
        "DROIDLENS_MODEL, DROIDLENS_TEMPERATURE, DROIDLENS_MAX_TOKENS, DROIDLENS_TIMEOUT),\n"
        "then the JSON file given with --config.";
    return text;
}

std::string mode_list() {
    std::string names;
    for (const std::string& n : droidlens::mode_names()) names += (names.empty() ? "" : ", ") + n;
    return names;
}

// Ctrl-C and SIGTERM ask the work in progress to stop: the adb child is killed, the
// model request aborted, files already written stay. A second signal ends the
// process at once.
void on_stop_signal(int sig) {
    droidlens::cancel::request(sig);
    std::signal(sig, SIG_DFL);
}

void install_stop_handlers() {
    droidlens::cancel::wait_fd();  // created now, outside any signal handler
    struct sigaction sa{};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

int fail(const std::string& message, int status) {
    std::cerr << "droidlens: error: " << message << std::endl;
    return status;
}

// DROIDLENS_REPORT=1 (or true, yes, on) asks for a report like --report.
bool report_from_environment() {
    const char* v = std::getenv("DROIDLENS_REPORT");
    if (v == nullptr) return false;
    const std::string s = v;
    return s == "1" || s == "true" || s == "yes" || s == "on" || s == "TRUE" || s == "YES" || s == "ON";
}

// Writes the run's report (after the record, or after the error that ended the run)
// and names it on standard error. A report that cannot be written is a warning: the
// run's own outcome stands.
template <typename Write>
void write_report(Write&& write) {
    try {
        std::cerr << "droidlens: report: " << write() << std::endl;
    } catch (const std::exception& e) {
        std::cerr << "droidlens: warning: the report could not be written: " << e.what() << std::endl;
    }
}

}  // namespace

int main(int argc, char** argv) {
    using namespace droidlens;

    CLI::App app{description(), "droidlens"};
    app.get_formatter()->column_width(30);

    std::string mode;
    std::string prompt;
    std::vector<std::string> images;
    std::optional<std::string> device_id;
    std::optional<std::int64_t> display_id;
    std::string output_dir = kDefaultOutputDir;
    std::int64_t max_steps = kDefaultMaxSteps;
    std::string lang = kDefaultLang;
    ConfigOverrides overrides;
    bool report = false;

    app.add_option("mode", mode, "What to do: " + mode_list() + ", or mcp")
        ->required();
    app.add_option("prompt", prompt, "The request in natural language (not needed for diff)");
    app.add_option("-i,--image", images, "Screenshot file; repeat for several (none: capture from the device)")
        ->type_name("PATH");
    app.add_option("--device-id", device_id, "adb serial of the device (needed when several are connected)")
        ->type_name("SERIAL");
    app.add_option("--display-id", display_id, "Display of the device (default: the main display)")
        ->type_name("ID");
    app.add_option("-o,--output-dir", output_dir, "Directory for screenshots and annotated images")
        ->capture_default_str();
    app.add_option("--max-steps", max_steps, "Step limit of the automate mode")->capture_default_str();
    app.add_option("--lang", lang, "Prompt language: en, or cn for Chinese")->capture_default_str();
    app.add_option("--base-url", overrides.base_url, "Chat-completions service, e.g. https://api.openai.com/v1")
        ->type_name("URL");
    app.add_option("--api-key", overrides.api_key,
                   "API key (prefer DROIDLENS_API_KEY: command lines are visible to other users)")
        ->type_name("KEY");
    app.add_option("--model", overrides.model, "Model name")->type_name("NAME");
    app.add_option("--temperature", overrides.temperature, "Default sampling temperature")->type_name("T");
    app.add_option("--max-tokens", overrides.max_tokens, "Token limit of a model answer")->type_name("N");
    app.add_option("--timeout", overrides.timeout, "Budget in seconds of one model call, retries included (default 120)")
        ->type_name("SECONDS");
    app.add_option("--config", overrides.config_file, "JSON file with base_url, api_key, model, ...")
        ->type_name("FILE");
    app.add_flag("--report", report, "Also write an HTML report of the run into the output directory (or DROIDLENS_REPORT=1)");
    app.set_version_flag("--version", std::string("droidlens ") + kVersion);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        return 0;
    } catch (const CLI::CallForVersion&) {
        std::cout << "droidlens " << kVersion << std::endl;
        return 0;
    } catch (const CLI::ParseError& e) {
        return fail(std::string(e.what()) + " (see droidlens --help)", 2);
    }

    // The library's console lines must not mix with the JSON on standard output.
    set_console_stream(std::cerr);
    install_stop_handlers();

    report = report || report_from_environment();
    std::unique_ptr<RunReport> recorder;
    // The run's error, reported in the page too when one was asked for.
    auto failed = [&](const std::exception& e, int status) {
        const std::string message = message_with_causes(e);
        if (recorder) write_report([&] { return recorder->write_failed(message); });
        return fail(message, status);
    };

    try {
        // The protocol server takes the same model settings; the run options become
        // the defaults of its tool calls.
        if (mode == "mcp") return mcp::serve_stdio(load_model_config(overrides), {output_dir, max_steps, lang});

        std::unique_ptr<Modelwire> llm;
        std::string model_name;
        const ModeInfo* info = find_mode(mode);
        if (info && info->needs_model) {
            ModelConfig config = load_model_config(overrides);
            require_model_service(config);
            model_name = config.model;
            llm = std::make_unique<Modelwire>(std::move(config));
        }
        if (report && info) {
            recorder = std::make_unique<RunReport>(
                ReportRun{mode, prompt, images, device_id, display_id, output_dir, max_steps, model_name});
        }
        ScopedRunObserver watching(recorder.get());

        Json kwargs = Json::object();
        kwargs["mode"] = mode;
        kwargs["prompt"] = prompt;
        kwargs["image_paths"] = images;
        kwargs["device_id"] = device_id ? Json(*device_id) : Json(nullptr);
        kwargs["display_id"] = display_id ? Json(*display_id) : Json(nullptr);
        kwargs["output_dir"] = output_dir;
        kwargs["max_steps"] = max_steps;
        kwargs["lang"] = lang;

        Json result = route_dynamic(llm.get(), Json::array(), kwargs);
        std::cout << dump_json_pretty(result) << std::endl;
        if (recorder) write_report([&] { return recorder->write(result); });
        return 0;
    } catch (const CancelledError& e) {
        const int sig = cancel::signal_number();
        return failed(e, sig > 0 ? 128 + sig : 130);
    } catch (const ValueError& e) {
        return failed(e, 2);
    } catch (const TypeError& e) {
        return failed(e, 2);
    } catch (const std::exception& e) {
        return failed(e, 1);
    }
}
