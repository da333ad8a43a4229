// The chat-completions client: argument checks, the request body, and one POST over
// libcurl with time-outs and a bounded retry of transient failures.
#include <droidlens/errors.hpp>
#include "utils/args.hpp"
#include <droidlens/cancel.hpp>
#include <droidlens/console.hpp>
#include <droidlens/run.hpp>
#include "model/answer_cache.hpp"
#include "utils/secrets.hpp"
#include "utils/text.hpp"
#include <droidlens/modelwire.hpp>

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <ctime>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <vector>

namespace droidlens {

namespace {

// Replies larger than this are refused rather than held in memory.
constexpr std::size_t kMaxReplyBytes = 64u << 20;
constexpr double kMaxRetryAfterSeconds = 60.0;
constexpr double kBackoffBaseSeconds = 0.5;
constexpr double kMaxBackoffSeconds = 8.0;

// A boolean counts as the number 1 or 0, as in a dynamic language.
bool is_number(const Json& v) { return v.is_number() || v.is_boolean(); }

double as_double(const Json& v) { return v.is_boolean() ? (v.get<bool>() ? 1.0 : 0.0) : v.get<double>(); }

// max_tokens as an integer: integers pass unchanged, decimals are truncated toward zero.
Json to_token_count(const Json& v) {
    if (v.is_boolean()) return v.get<bool>() ? 1 : 0;
    if (v.is_number_integer()) return v;  // signed or unsigned, kept as given
    double d = v.get<double>();
    if (std::isnan(d)) throw ConversionError("cannot convert float NaN to integer");
    if (std::isinf(d)) throw ConversionError("cannot convert float infinity to integer");
    d = std::trunc(d);
    if (d < -9.2e18 || d > 9.2e18) throw ConversionError("max_tokens is out of range: " + v.dump());
    return static_cast<long long>(d);
}

// Cuts `text` to at most `limit` bytes without splitting a UTF-8 sequence.
std::string shorten(std::string text, std::size_t limit) {
    if (text.size() <= limit) return text;
    std::size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
    return text + "...";
}

using text::trim;

// The key and the address's credentials must never reach a message, whatever text
// (service replies, URLs, curl's own error text) a message was built from.
std::string scrub(std::string text, const std::string& key) {
    if (key.size() >= secrets::kMinSecretLength)
        for (auto pos = text.find(key); pos != std::string::npos; pos = text.find(key, pos + 3))
            text.replace(pos, key.size(), "***");
    return secrets::redact(std::move(text));
}

std::string seconds_text(double s) {
    std::ostringstream out;
    out << s;
    return out.str();
}

// Time-outs in milliseconds for curl; 0 (curl: no limit) for a non-positive value.
long to_millis(double seconds) {
    if (!(seconds > 0)) return 0;
    double ms = std::min(seconds * 1000.0, 2147483647.0);
    return std::max(1L, static_cast<long>(std::llround(ms)));
}

// The service's own account of an error: error.message (or error as text) of a JSON
// body, else the body text.
std::string service_error_text(const std::string& body) {
    Json parsed = Json::parse(body, nullptr, false);
    if (!parsed.is_discarded() && parsed.is_object() && parsed.contains("error")) {
        const Json& err = parsed["error"];
        if (err.is_object() && err.contains("message") && err["message"].is_string())
            return shorten(err["message"].get<std::string>(), 1000);
        if (err.is_string()) return shorten(err.get<std::string>(), 1000);
    }
    std::string text = trim(body);
    return text.empty() ? "(empty body)" : shorten(text, 300);
}

bool retryable_status(long status) {
    return status == 408 || status == 409 || status == 429 || status >= 500;
}

// Connection-level failures worth another attempt. Others (bad URL, TLS
// verification, unsupported protocol) would fail the same way again.
bool retryable_curl_error(CURLcode code) {
    switch (code) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_CONNECT:
        case CURLE_OPERATION_TIMEDOUT:
        case CURLE_GOT_NOTHING:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_PARTIAL_FILE:
        case CURLE_SSL_CONNECT_ERROR:
            return true;
        default:
            return false;
    }
}

// Seconds to wait as a Retry-After header asks (delta seconds or an HTTP date),
// capped; nullopt when the header is absent or unreadable.
std::optional<double> retry_after_seconds(const std::string& header) {
    std::string value = trim(header);
    if (value.empty()) return std::nullopt;
    double seconds = 0;
    try {
        std::size_t used = 0;
        seconds = std::stod(value, &used);
        if (used != value.size()) throw std::invalid_argument(value);
    } catch (const std::exception&) {
        time_t when = curl_getdate(value.c_str(), nullptr);
        if (when == -1) return std::nullopt;
        seconds = std::difftime(when, std::time(nullptr));
    }
    if (!std::isfinite(seconds)) return std::nullopt;
    return std::clamp(seconds, 0.0, kMaxRetryAfterSeconds);
}

double backoff_seconds(int retry) {
    static thread_local std::mt19937 rng{std::random_device{}()};
    double base = std::min(kBackoffBaseSeconds * std::pow(2.0, retry), kMaxBackoffSeconds);
    // A little jitter so that clients failing together do not retry together.
    return base * std::uniform_real_distribution<double>(0.75, 1.0)(rng);
}

std::string attempts_suffix(int attempts) {
    return attempts > 1 ? " (after " + std::to_string(attempts) + " attempts)" : "";
}

// Whether a service's complaint is about the tool_choice field ("Invalid
// tool_choice", "Tool choice must be auto").
bool names_tool_choice(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text.find("tool_choice") != std::string::npos || text.find("tool choice") != std::string::npos;
}

// For a service used without tools: one user message asking for the arguments of
// the (first) tool as a JSON object, with the tool's parameters.
Json arguments_request(const Json& tools) {
    const Json function = tools.is_array() && !tools.empty() ? tools[0].value("function", Json::object()) : Json::object();
    const std::string text = "Answer with one JSON object only: the arguments of the function " +
                             function.value("name", std::string("?")) + " (" +
                             function.value("description", std::string("")) + "), whose JSON schema is " +
                             dump_json(function.value("parameters", Json::object())) + ".";
    return {{"role", "user"}, {"content", Json::array({{{"type", "text"}, {"text", text}}})}};
}

struct Slist {
    curl_slist* list = nullptr;
    ~Slist() { curl_slist_free_all(list); }
    void add(const std::string& line) {
        curl_slist* next = curl_slist_append(list, line.c_str());
        if (!next) throw std::bad_alloc();
        list = next;
    }
};

size_t on_body(char* data, size_t size, size_t count, void* user) {
    auto* out = static_cast<std::string*>(user);
    size_t n = size * count;
    if (out->size() + n > kMaxReplyBytes) return 0;  // aborts the transfer (CURLE_WRITE_ERROR)
    out->append(data, n);
    return n;
}

// Keeps the Retry-After header of the final response (a new status line starts over).
size_t on_header(char* data, size_t size, size_t count, void* user) {
    auto* retry_after = static_cast<std::string*>(user);
    size_t n = size * count;
    std::string line(data, n);
    if (line.rfind("HTTP/", 0) == 0) retry_after->clear();
    auto colon = line.find(':');
    if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        if (name == "retry-after") *retry_after = trim(line.substr(colon + 1));
    }
    return n;
}

// Aborts the transfer (CURLE_ABORTED_BY_CALLBACK) once a cancel request is pending.
int on_progress(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) { return cancel::requested() ? 1 : 0; }

struct Attempt {
    CURLcode code = CURLE_OK;
    std::string curl_error;
    bool request_sent = false;  // the request went out, so a time-out means no answer
    long status = 0;
    std::string body;
    std::string retry_after;
};

}  // namespace

Json ChatModel::chat(const Json& messages, const Json& tools, const Json& tool_choice,
                     const Json& temperature, const Json& max_tokens) {
    if (!messages.is_array()) args::throw_wrong_type("messages", "list", messages);
    if (!tools.is_null() && !tools.is_array()) args::throw_wrong_type("tools", "list", tools);
    if (!tool_choice.is_null() && !tool_choice.is_object()) args::throw_wrong_type("tool_choice", "dict", tool_choice);
    if (!temperature.is_null() && !is_number(temperature)) args::throw_wrong_type("temperature", "float", temperature);
    if (!max_tokens.is_null() && !is_number(max_tokens)) args::throw_wrong_type("max_tokens", "int", max_tokens);

    Json temp = nullptr;
    if (!temperature.is_null()) {
        double t = as_double(temperature);
        // JSON has no NaN or infinity: such a value would go out as null and the
        // service would silently use its default.
        if (!std::isfinite(t)) throw ValueError("Argument 'temperature' must be a finite number, got " + std::to_string(t));
        temp = t;
    }
    Json tokens = max_tokens.is_null() ? Json(nullptr) : to_token_count(max_tokens);
    return send_chat(messages, tools, tool_choice, temp, tokens);
}

// The transfer handles of one client. Each request takes an idle handle (or a new
// one) for its own use and puts it back afterwards, so that runs on several threads
// can share one client and still reuse its open connections.
struct Modelwire::Client {
    std::mutex mutex;
    std::vector<CURL*> idle;

    Client() {
        static std::once_flag once;
        std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
        idle.push_back(new_handle());
    }
    ~Client() {
        for (CURL* easy : idle) curl_easy_cleanup(easy);
    }

    static CURL* new_handle() {
        CURL* easy = curl_easy_init();
        if (!easy) throw ModelServiceError("Cannot initialise the HTTP client (libcurl)");
        return easy;
    }

    // A handle for one request: idle ones first, back to the idle list when done.
    struct Lease {
        Client& owner;
        CURL* easy;
        explicit Lease(Client& c) : owner(c), easy(nullptr) {
            {
                std::lock_guard<std::mutex> lock(c.mutex);
                if (!c.idle.empty()) {
                    easy = c.idle.back();
                    c.idle.pop_back();
                }
            }
            if (easy == nullptr) easy = new_handle();
        }
        ~Lease() {
            std::lock_guard<std::mutex> lock(owner.mutex);
            owner.idle.push_back(easy);
        }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
    };

    // One POST; every option is set afresh, while the handle keeps its open
    // connections for the next call.
    // `timeout_ms` bounds the whole attempt, `connect_ms` its connection set-up.
    Attempt post(const std::string& url, const std::string& body, const std::string& api_key, long timeout_ms,
                 long connect_ms) {
        Attempt a;
        char error_buffer[CURL_ERROR_SIZE] = {0};
        Slist headers;
        headers.add("Content-Type: application/json");
        headers.add("Accept: application/json");
        headers.add("Expect:");  // no 100-continue round trip for large image payloads
        if (!api_key.empty()) headers.add("Authorization: Bearer " + api_key);

        Lease lease(*this);
        CURL* const easy = lease.easy;
        curl_easy_reset(easy);
        curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers.list);
        curl_easy_setopt(easy, CURLOPT_USERAGENT, "droidlens/0.1");
        curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, connect_ms);
        curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, timeout_ms);
        curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, on_progress);
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, error_buffer);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, on_body);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &a.body);
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, on_header);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, &a.retry_after);

        a.code = curl_easy_perform(easy);
        a.curl_error = error_buffer[0] ? error_buffer : curl_easy_strerror(a.code);
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &a.status);
        long request_bytes = 0;
        curl_easy_getinfo(easy, CURLINFO_REQUEST_SIZE, &request_bytes);
        a.request_sent = request_bytes > 0;
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, nullptr);
        return a;
    }
};

Modelwire::Modelwire(ModelConfig settings) : settings_(std::move(settings)) {
    // A zero or negative budget would mean "no limit" to the transfer library.
    if (!std::isfinite(settings_.timeout) || settings_.timeout <= 0)
        throw UsageError("Invalid timeout: must be a number of seconds > 0");
    client_ = std::make_unique<Client>();
    secrets::add(settings_.api_key);
    secrets::add(secrets::url_credentials(settings_.base_url));
}

Modelwire::~Modelwire() = default;

AnswerProfile Modelwire::answer_profile() const {
    if (const RunContext* run = current_run(); run != nullptr && run->model == this && run->model_settings)
        return {run->model_settings->coordinates, run->model_settings->max_image_side};
    return {settings_.coordinates, settings_.max_image_side};
}

Json Modelwire::send_chat(const Json& messages, const Json& tools, const Json& tool_choice,
                          const Json& temperature, const Json& max_tokens) {
    // Within a run, the settings the run started with; otherwise the request's own
    // copy: a later change is for the next one.
    if (const RunContext* run = current_run(); run != nullptr && run->model == this && run->model_settings)
        return chat_with(*run->model_settings, messages, tools, tool_choice, temperature, max_tokens);
    const ModelConfig copy = settings_;
    return chat_with(copy, messages, tools, tool_choice, temperature, max_tokens);
}

Json Modelwire::chat_with(const ModelConfig& s, const Json& messages, const Json& tools, const Json& tool_choice,
                          const Json& temperature, const Json& max_tokens) {
    require_model_service(s);

    // A temperature the user chose applies to every request; otherwise the mode's own.
    double temp = s.temperature_override ? *s.temperature_override
                  : temperature.is_null() ? s.temperature
                                          : temperature.get<double>();
    if (!std::isfinite(temp)) throw ValueError("The configured temperature must be a finite number");
    Json tokens = max_tokens.is_null() ? Json(s.max_tokens) : max_tokens;

    // The body is written piece by piece so that the messages (often megabytes of
    // Base64 images) are serialised once and never copied into a second document.
    const std::string messages_json = dump_json(messages);
    auto make_body = [&](const Json& choice) {
        const bool no_tools = s.tool_choice == "none" && !tools.is_null();
        std::string out = "{\"model\":" + dump_json(Json(s.model));
        if (no_tools) {
            // A server without tool calls: the request for the arguments goes into the
            // conversation instead, as one more user message.
            out += ",\"messages\":" + messages_json.substr(0, messages_json.size() - 1) +
                   (messages.empty() ? "" : ",") + dump_json(arguments_request(tools)) + "]";
            out += ",\"tools\":null,\"tool_choice\":null";
        } else {
            out += ",\"messages\":" + messages_json;
            out += ",\"tools\":" + dump_json(tools);
            out += ",\"tool_choice\":" + dump_json(choice);
        }
        out += ",\"temperature\":" + dump_json(Json(temp));
        out += ",\"max_tokens\":" + dump_json(tokens) + "}";
        return out;
    };
    // A tool choice naming our function is what the request asks for by default; the
    // setting, or a server that refused the named form before, makes it "required"
    // or "auto".
    const bool named = tool_choice.is_object();
    Json choice = tool_choice;
    if (named && (s.tool_choice == "required" || s.tool_choice == "auto")) choice = s.tool_choice;
    if (named && s.tool_choice == "named" && named_choice_refused_) choice = "required";
    std::string body = make_body(choice);

    std::string url = s.base_url;
    if (url.back() == '/') url.pop_back();
    url += "/chat/completions";

    // The answer cache is keyed by the request as the mode asked it: a server's
    // refusal of a named tool choice, which changes the body sent, leaves the key as
    // it is, so a recording replays in a process that has not met the refusal.
    std::optional<std::string> cache_key;
    if (!s.cache_dir.empty()) {
        const bool refusal_applied = named && s.tool_choice == "named" && named_choice_refused_;
        cache_key = answer_cache::request_key(s.base_url, s.model, refusal_applied ? make_body(tool_choice) : body);
        if (s.cache_mode != "record") {
            if (auto stored = answer_cache::load(s.cache_dir, *cache_key)) {
                Json reply = Json::parse(*stored, nullptr, false);
                console_line("answer from cache");
                if (RunContext* run = current_run()) ++run->cache_hits;
                return reply;
            }
            if (s.cache_mode == "replay")
                throw ModelServiceError(scrub("No cached answer for the request to model '" + s.model + "' at " + url +
                                                  " (entry " + *cache_key + ".json in " + s.cache_dir +
                                                  "); cache mode replay never asks the model",
                                              s.api_key));
        }
    }
    // A good reply is stored (when caching) before it is handed back.
    auto remember = [&](const std::string& reply_body) {
        if (!cache_key) return;
        // The answer was paid for and is good: a cache that cannot be written costs
        // the next run a request, not this one its answer.
        try {
            answer_cache::store(s.cache_dir, *cache_key, reply_body);
            answer_cache::trim(s.cache_dir, s.cache_max_mb);
        } catch (const Error& e) {
            console_line(std::string("answer not cached: ") + e.what());
        }
    };

    const std::string& key = s.api_key;
    // Registered so that no child process (an adb server lives long) inherits them
    // and no message quotes them.
    secrets::add(key);
    secrets::add(secrets::url_credentials(s.base_url));
    auto fail = [&](const std::string& message) -> ModelServiceError {
        return ModelServiceError(scrub(message, key));
    };

    // The configured timeout is the budget of the whole call: every attempt, and every
    // wait between attempts, must fit into what is left of it. A request that timed
    // out after it was sent is not sent again: the service may still be generating
    // (and billing) the first answer.
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(to_millis(s.timeout));
    auto left_ms = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    };
    const std::string budget = seconds_text(s.timeout) + " seconds";
    // Waits `seconds` before the next attempt when that fits into the budget (leaving
    // time for the attempt itself); returns false when it does not.
    auto wait_for_retry = [&](double seconds) {
        if (seconds * 1000.0 + 100.0 >= static_cast<double>(left_ms())) return false;
        cancel::sleep_for(std::chrono::duration<double>(seconds));
        return true;
    };

    for (int attempt = 0;; ++attempt) {
        cancel::throw_if_requested();
        const bool may_retry = attempt < s.max_retries;
        const long remaining = std::max<long>(1, static_cast<long>(left_ms()));
        const long connect = std::min(remaining, std::max(1L, to_millis(s.connect_timeout)));
        Attempt a = client_->post(url, body, key, remaining, connect);
        const int attempts = attempt + 1;

        if (a.code == CURLE_ABORTED_BY_CALLBACK) throw CancelledError("Cancelled while waiting for the model service");
        if (a.code != CURLE_OK) {
            const bool timed_out_after_sending = a.code == CURLE_OPERATION_TIMEDOUT && a.request_sent;
            if (timed_out_after_sending)
                throw fail("Model service did not answer within " + budget + " (POST " + url + ")" +
                           attempts_suffix(attempts));
            if (may_retry && retryable_curl_error(a.code) && wait_for_retry(backoff_seconds(attempt))) continue;
            if (a.code == CURLE_WRITE_ERROR && a.body.size() + CURL_MAX_WRITE_SIZE > kMaxReplyBytes)
                throw fail("Model service reply is larger than " + std::to_string(kMaxReplyBytes >> 20) +
                           " MiB (POST " + url + ")");
            throw fail("Cannot reach model service at " + url + ": " + a.curl_error + attempts_suffix(attempts));
        }

        // Servers that accept only "none", "auto" or "required" (LM Studio, GLM) say so
        // with a 400 naming tool_choice: the same request once more with "required",
        // and every later request of this client straight away.
        if (a.status == 400 && choice.is_object() && names_tool_choice(service_error_text(a.body))) {
            named_choice_refused_ = true;
            choice = "required";
            body = make_body(choice);
            --attempt;
            continue;
        }
        if (a.status < 200 || a.status >= 300) {
            if (may_retry && retryable_status(a.status) &&
                wait_for_retry(retry_after_seconds(a.retry_after).value_or(backoff_seconds(attempt))))
                continue;
            throw fail("Model service returned HTTP " + std::to_string(a.status) + ": " +
                       service_error_text(a.body) + attempts_suffix(attempts));
        }

        Json reply = Json::parse(a.body, nullptr, false);
        if (reply.is_discarded())
            throw fail("Model service returned a reply that is not JSON: " + shorten(a.body, 200));
        if (!reply.is_object())
            throw fail("Model service returned a reply that is not a JSON object: " + shorten(a.body, 200));
        // Some gateways answer a failed request with status 200 and an error object;
        // handing that on would read as "the model said nothing".
        if (reply.contains("error") && !reply.contains("choices") && !reply["error"].is_null())
            throw fail("Model service returned an error: " + service_error_text(a.body));
        remember(a.body);
        return reply;
    }
}

}  // namespace droidlens
