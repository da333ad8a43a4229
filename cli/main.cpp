// The droidlens command: arguments -> configuration -> route -> result JSON on stdout.
#include <droidlens/devices.hpp>
#include <droidlens/doctor.hpp>
#include <droidlens/droidlens.hpp>
#include <droidlens/mcp.hpp>
#include <droidlens/options.hpp>
#include <droidlens/run.hpp>

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>


namespace {

using droidlens::FailureKind;

// What the command adds to the router's modes: the commands that are not modes.
struct Command {
    const char* name;
    const char* summary;
};
constexpr Command kCommands[] = {
    {"devices", "list the devices adb sees, with state, model and Android version"},
    {"screenshot", "save one screenshot of the device and print its path and size"},
    {"doctor", "ask the model service what it can do and which settings droidlens needs for it"},
    {"mcp", "serve every mode as a tool of a Model Context Protocol server on stdin/stdout"},
};

// What a mode or command takes besides its run options (those come from the run
// options table), its usage line and one example, for its own --help.
enum FlagGroup : unsigned {
    kModel = 1u << 0,
    kReport = 1u << 1,
    kWriteConfig = 1u << 2,
    kWorkers = 1u << 3,
};
struct ModeHelp {
    const char* name;
    unsigned groups;
    const char* usage;
    const char* example;
};
constexpr ModeHelp kModeHelp[] = {
    {"displays", 0, "droidlens displays [--device-id SERIAL]", "droidlens displays --device-id emulator-5554"},
    {"diff", kReport,
     "droidlens diff -i BEFORE.png -i AFTER.png [-o DIR] [--mask AREA ...] [--merge-gap N] [--fail-above SCORE]",
     "droidlens diff -i golden.png -i now.png --mask status-bar --fail-above 0.01"},
    {"nodepin", kModel | kReport, "droidlens nodepin REQUEST [--device-id SERIAL]",
     "droidlens nodepin \"the OK button\""},
    {"locate", kModel | kReport, "droidlens locate REQUEST [-i SCREENSHOT ...] [--device-id SERIAL]",
     "droidlens locate \"the search field\" -i home.png"},
    {"ocr", kModel | kReport, "droidlens ocr REQUEST [-i SCREENSHOT ...] [--device-id SERIAL]",
     "droidlens ocr \"the prices in the list\" -i shop.png --lang en"},
    {"glyphpin", kModel | kReport, "droidlens glyphpin REQUEST [-i SCREENSHOT ...] [--device-id SERIAL]",
     "droidlens glyphpin \"price for NGX\" -i quotes.png --lang en"},
    {"action", kModel | kReport, "droidlens action REQUEST [--device-id SERIAL]",
     "droidlens action \"open the Wi-Fi settings\""},
    {"automate", kModel | kReport, "droidlens automate TASK [--max-steps N] [--device-id SERIAL]",
     "droidlens automate \"turn on airplane mode\" --max-steps 8 --lang en"},
    {"assert", kModel | kReport, "droidlens assert STATEMENT [-i SCREENSHOT ...] [--device-id SERIAL]",
     "droidlens assert \"the Wi-Fi switch is on\" -i settings.png --lang en"},
    {"wait", kModel | kReport, "droidlens wait STATEMENT [--timeout SECONDS] [--interval SECONDS] [--device-id SERIAL]",
     "droidlens wait \"the download has finished\" --timeout 30 --interval 1 --lang en"},
    {"devices", 0, "droidlens devices", "droidlens devices"},
    {"screenshot", 0, "droidlens screenshot [-o DIR] [--device-id SERIAL] [--display-id N]",
     "droidlens screenshot -o shots --display-id 2"},
    {"doctor", kModel | kWriteConfig, "droidlens doctor [model options] [--write-config FILE]",
     "droidlens doctor --base-url http://localhost:11434/v1 --model qwen2.5vl --write-config model.json"},
    {"mcp", kModel | kWorkers, "droidlens mcp [model options] [--workers N]",
     "droidlens mcp --base-url http://localhost:11434/v1 --model qwen2.5vl"},
};

const ModeHelp* mode_help(const std::string& name) {
    for (const ModeHelp& h : kModeHelp)
        if (name == h.name) return &h;
    return nullptr;
}

constexpr const char* kExitStatuses =
    "Exit status:\n"
    "  0         done\n"
    "  1         any other failure\n"
    "  2         usage: arguments, unknown mode, configuration\n"
    "  3         device: adb missing, no or several devices, a device command failed\n"
    "  4         model service: unreachable, HTTP error, time-out, reply too large\n"
    "  5         model answer unusable: no tool call, malformed arguments, empty answer\n"
    "  6         finished without doing the task: an action that failed, an automation\n"
    "            stopped at its step limit, a diff score above --fail-above, a statement\n"
    "            that did not hold (assert) or did not come true in time (wait); the\n"
    "            record is still printed\n"
    "  130, 143  interrupted (Ctrl-C, SIGTERM)";

std::string padded(std::string name, std::size_t width) {
    name.resize(std::max(name.size() + 1, width), ' ');
    return name;
}

// The help text's description, with one line per mode from the router's table.
std::string description() {
    std::string text = "droidlens: let a vision language model read and operate Android screens.\n\nModes:\n";
    for (const droidlens::ModeInfo& m : droidlens::modes()) text += "  " + padded(m.name, 11) + m.summary + "\n";
    text += "\nCommands:\n";
    for (const Command& c : kCommands) text += "  " + padded(c.name, 11) + c.summary + "\n";
    text +=
        "\n`droidlens MODE --help` shows what a mode does, its options and an example.\n"
        "The result record is printed as JSON on standard output; progress lines go to\n"
        "standard error. Model settings come from the flags, then the environment\n"
        "(DROIDLENS_BASE_URL or OPENAI_BASE_URL, DROIDLENS_API_KEY or OPENAI_API_KEY,\n"
        "DROIDLENS_MODEL, DROIDLENS_TEMPERATURE, DROIDLENS_MAX_TOKENS, DROIDLENS_TIMEOUT),\n"
        "then the JSON file given with --config.\n\n";
    text += kExitStatuses;
    return text;
}

std::string mode_list() {
    std::string names;
    for (const std::string& n : droidlens::mode_names()) names += (names.empty() ? "" : ", ") + n;
    for (const Command& c : kCommands) names += std::string(", ") + c.name;
    return names;
}

// `--timeout` is one flag with two meanings: in the wait mode the wait's own time-out
// (a run option), everywhere else the budget of one model call (a model setting; a
// wait's calls then take theirs from the configuration).
constexpr std::string_view kSharedFlag = "--timeout";

std::string option_line(const CLI::Option& opt) {
    std::string names = opt.get_name(false, true);
    if (!opt.get_type_name().empty() && opt.get_type_size() != 0) names += " " + opt.get_type_name();
    std::string line = "  " + padded(names, 28) + opt.get_description();
    if (!opt.get_default_str().empty()) line += " (default " + opt.get_default_str() + ")";
    return line + "\n";
}

// The option lines of `app`'s help that `help` takes: the run options of the mode
// (from the run options table), then the flags of its groups.
std::string option_lines(const CLI::App& app, const ModeHelp& help) {
    std::string text;
    bool shared_flag_taken = false;
    for (const droidlens::RunOption& o : droidlens::run_options()) {
        if (!droidlens::option_takes(o, help.name)) continue;
        if (o.flag == kSharedFlag) {
            shared_flag_taken = true;
            text += "  " + padded(std::string(o.flag) + " " + o.metavar, 28) + o.help + "\n";
        } else if (const CLI::Option* opt = app.get_option_no_throw(o.flag)) {
            text += option_line(*opt);
        }
    }
    struct Flag {
        const char* name;
        unsigned group;
    };
    const Flag flags[] = {
        {"--base-url", kModel},    {"--api-key", kModel},     {"--model", kModel},          {"--temperature", kModel},
        {"--max-tokens", kModel},  {"--timeout", kModel},     {"--tool-choice", kModel},    {"--coordinates", kModel},
        {"--max-image-side", kModel}, {"--cache", kModel},    {"--cache-mode", kModel},     {"--cache-max-mb", kModel},
        {"--config", kModel},      {"--report", kReport},     {"--write-config", kWriteConfig},
        {"--workers", kWorkers},
    };
    for (const Flag& f : flags) {
        if (!(help.groups & f.group) || (shared_flag_taken && f.name == kSharedFlag)) continue;
        if (const CLI::Option* opt = app.get_option_no_throw(f.name)) text += option_line(*opt);
    }
    return text;
}

std::string mode_help_text(const CLI::App& app, const std::string& name) {
    const ModeHelp* help = mode_help(name);
    std::string summary;
    for (const droidlens::ModeInfo& m : droidlens::modes())
        if (name == m.name) summary = m.summary;
    for (const Command& c : kCommands)
        if (name == c.name) summary = c.summary;
    std::string text = "droidlens " + name + ": " + summary + "\n\nUsage: " + help->usage + "\n";
    const std::string options = option_lines(app, *help);
    if (!options.empty()) text += "\nOptions:\n" + options;
    text += "\nExample:\n  " + std::string(help->example) + "\n\n" + kExitStatuses + "\n";
    return text;
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

// The exit status of the error that ended the run.
int exit_status(const std::exception& e) {
    const FailureKind kind = droidlens::failure_kind(e);
    if (kind == FailureKind::kInterrupted) {
        const int sig = droidlens::cancel::signal_number();
        return sig > 0 ? 128 + sig : 130;
    }
    return static_cast<int>(kind);
}

// A record that says the task was not done: an action that failed, an automation
// that stopped at its step limit, a diff whose score is above --fail-above, a
// statement that did not hold (assert) or did not come true in time (wait).
bool task_not_done(const droidlens::Json& record) {
    if (!record.is_object()) return false;
    const droidlens::Json mode = record.value("mode", droidlens::Json());
    if (mode == "action") return record.value("success", droidlens::Json(true)) == false;
    if (mode == "automate") return record.value("status", droidlens::Json()) == "max_steps";
    if (mode == "diff") return record.value("passed", droidlens::Json(true)) == false;  // --fail-above
    if (mode == "assert" || mode == "wait") return record.value("passed", droidlens::Json(false)) != true;
    return false;
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
    // `droidlens MODE --help` is the mode's own help; the global one has the list.
    app.set_help_flag();
    bool want_help = false;
    app.add_flag("-h,--help", want_help, "Show this help (after a mode: that mode's help) and exit");

    std::string mode;
    std::vector<std::string> positional;
    ConfigOverrides overrides;
    bool report = false;

    app.add_option("mode", mode, "What to do: " + mode_list());
    app.add_option("prompt", positional, "The request in natural language (modes that ask the model)");
    // The run options, as the table spells them: the texts given, read after parsing.
    // One value per occurrence: a request after -i is never read as a second file.
    std::map<std::string, std::vector<std::string>> given;
    for (const RunOption& o : run_options()) {
        if (o.flag == kSharedFlag) continue;  // read from the model's flag, by mode (below)
        std::string names = o.short_flag ? std::string(o.short_flag) + "," + o.flag : std::string(o.flag);
        CLI::Option* opt = app.add_option(names, given[o.name], o.help)->type_name(o.metavar)->allow_extra_args(false);
        if (o.type != OptionType::kTextList) opt->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
        if (!o.default_value.is_null())
            opt->default_str(o.default_value.is_string() ? o.default_value.get<std::string>()
                                                         : dump_json(o.default_value));
    }
    app.add_option("--base-url", overrides.base_url, "Chat-completions service, e.g. https://api.openai.com/v1")
        ->type_name("URL");
    app.add_option("--api-key", overrides.api_key,
                   "API key (prefer DROIDLENS_API_KEY: command lines are visible to other users)")
        ->type_name("KEY");
    app.add_option("--model", overrides.model, "Model name")->type_name("NAME");
    app.add_option("--temperature", overrides.temperature,
                   "Sampling temperature, 0 to 2, for every request (default: each mode's own)")
        ->type_name("T");
    app.add_option("--max-tokens", overrides.max_tokens, "Token limit of a model answer")->type_name("N");
    app.add_option("--timeout", overrides.timeout, "Budget in seconds of one model call, retries included (default 120)")
        ->type_name("SECONDS");
    app.add_option("--tool-choice", overrides.tool_choice,
                   "How tool calls are asked for: named (default), required, auto, or none (JSON in the answer)")
        ->type_name("HOW");
    app.add_option("--coordinates", overrides.coordinates,
                   "Frame of the model's boxes and points: rel1000 (default), rel1000-yx, pixels or rel1")
        ->type_name("FRAME");
    app.add_option("--max-image-side", overrides.max_image_side,
                   "Scale screenshots down to this longer side before sending them (default: full size)")
        ->type_name("PX");
    app.add_option("--cache", overrides.cache_dir,
                   "Answer cache directory: a request already answered is not sent again (DROIDLENS_CACHE)")
        ->type_name("DIR");
    app.add_option("--cache-mode", overrides.cache_mode,
                   "use (default: answer from the cache, ask on a miss), record (always ask, store) or replay "
                   "(never ask: a miss fails with status 4)")
        ->type_name("MODE");
    app.add_option("--cache-max-mb", overrides.cache_max_mb,
                   "Size limit of the cache directory; the least recently used answers go first (default: none)")
        ->type_name("N");
    app.add_option("--config", overrides.config_file, "JSON file with base_url, api_key, model, ...")
        ->type_name("FILE");
    std::optional<std::string> write_config;
    app.add_option("--write-config", write_config, "doctor: write the settings it found into this JSON file (merged)")
        ->type_name("FILE");
    int workers = mcp::kDefaultWorkers;
    app.add_option("--workers", workers, "mcp: tool calls that run at once, one at a time per device")
        ->type_name("N")
        ->default_str(std::to_string(mcp::kDefaultWorkers));
    app.add_flag("--report", report, "Also write an HTML report of the run into the output directory (or DROIDLENS_REPORT=1)");
    app.set_version_flag("--version", std::string("droidlens ") + kVersion);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForVersion&) {
        std::cout << "droidlens " << kVersion << std::endl;
        return 0;
    } catch (const CLI::ParseError& e) {
        if (want_help) {
            std::cout << app.help();
            return 0;
        }
        return fail(std::string(e.what()) + " (see droidlens --help)", 2);
    }
    if (want_help) {
        std::cout << (mode_help(mode) ? mode_help_text(app, mode) : app.help());
        return 0;
    }
    if (mode.empty()) return fail("a mode is required: " + mode_list() + " (see droidlens --help)", 2);

    const ModeInfo* info = find_mode(mode);
    if (info == nullptr && mode_help(mode) == nullptr) return fail("Unknown mode: " + mode, 2);
    const bool takes_request = info ? info->needs_model : false;
    if (positional.size() > (takes_request ? 1u : 0u)) {
        const std::string surplus = positional[takes_request ? 1 : 0];
        return fail("unexpected argument '" + surplus + "': " +
                        (takes_request ? "give the request as one argument (quote it)"
                                       : "droidlens " + mode + " takes no request") +
                        " (see droidlens " + mode + " --help)",
                    2);
    }
    const std::string prompt = positional.empty() ? "" : positional.front();

    // The library's console lines must not mix with the JSON on standard output.
    set_console_stream(std::cerr);
    install_stop_handlers();

    report = report || report_from_environment();
    std::unique_ptr<RunReport> recorder;
    // The run's error, reported in the page too when one was asked for.
    auto failed = [&](const std::exception& e) {
        const std::string message = message_with_causes(e);
        if (recorder) write_report([&] { return recorder->write_failed(message); });
        return fail(message, exit_status(e));
    };

    try {
        // Every run option, checked as the library checks it (absent ones null), and
        // an empty request refused before any model setting is looked at.
        if (mode == "wait" && overrides.timeout) {
            given["timeout"] = {dump_json(Json(*overrides.timeout))};
            overrides.timeout.reset();
        }
        Json run = Json::object();
        for (const RunOption& o : run_options()) run[o.name] = option_value_from_text(o, given[o.name]);
        check_request(mode, prompt);
        const std::vector<std::string> images = run["image_paths"].is_null()
                                                    ? std::vector<std::string>{}
                                                    : run["image_paths"].get<std::vector<std::string>>();
        const std::optional<std::string> device_id =
            run["device_id"].is_null() ? std::nullopt : std::optional(run["device_id"].get<std::string>());
        const std::optional<std::int64_t> display_id =
            run["display_id"].is_null() ? std::nullopt : std::optional(run["display_id"].get<std::int64_t>());
        const std::string output_dir = run["output_dir"].get<std::string>();
        const std::int64_t max_steps = run["max_steps"].get<std::int64_t>();

        // The protocol server takes the same model settings; the run options become
        // the defaults of its tool calls.
        if (mode == "mcp" && (workers < 1 || workers > 64))
            return fail("--workers must be from 1 to 64, got " + std::to_string(workers), 2);
        if (mode == "mcp")
            return mcp::serve_stdio(load_model_config(overrides), {output_dir, max_steps, run["lang"].get<std::string>()},
                                    workers);
        if (mode == "doctor") {
            ModelConfig config = load_model_config(overrides);
            require_model_service(config);
            const Json findings = doctor(config);
            for (const Json& c : findings["checks"])
                std::cout << (c["ok"].get<bool>() ? "ok    " : "FAIL  ") << padded(c["check"].get<std::string>(), 17)
                          << c["detail"].get<std::string>() << "\n";
            if (findings["profile"].is_object()) {
                std::cout << "\nSettings for this model: " << dump_json(findings["profile"]) << std::endl;
                if (write_config) {
                    write_profile(*write_config, config, findings);
                    std::cout << "Written to " << *write_config << std::endl;
                }
            } else {
                std::cout << "\nThis model cannot serve droidlens as it is configured." << std::endl;
            }
            return findings["status"].get<int>();
        }
        // The rest runs as one run of this process: the adb server it names applies to
        // the device commands as to the modes.
        auto command_run = new_run_context();
        if (!run["adb_server"].is_null()) command_run->adb_server = run["adb_server"].get<std::string>();
        ScopedRun command_scope(command_run);
        if (mode == "devices") {
            std::cout << dump_json_pretty(device_list()) << std::endl;
            return 0;
        }
        if (mode == "screenshot") {
            auto shot_run = new_run_context();
            shot_run->capture = run.value("capture", std::string("auto"));
            ScopedRun scope(shot_run);
            std::cout << dump_json_pretty(take_screenshot(device_id, display_id, output_dir)) << std::endl;
            return 0;
        }

        std::unique_ptr<Modelwire> llm;
        std::string model_name;
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
        // The options given or defaulted; the diff options only when given, so that
        // without them the record is the plain one.
        for (auto it = run.begin(); it != run.end(); ++it)
            if (!it->is_null()) kwargs[it.key()] = *it;

        Json result = route_dynamic(llm.get(), Json::array(), kwargs);
        std::cout << dump_json_pretty(result) << std::endl;
        if (recorder) write_report([&] { return recorder->write(result); });
        return task_not_done(result) ? 6 : 0;
    } catch (const std::exception& e) {
        return failed(e);
    }
}
