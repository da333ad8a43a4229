// The client through which every mode talks to the vision model: one
// chat-completions request per call, against any OpenAI-compatible service.
#pragma once

#include <droidlens/config.hpp>
#include <droidlens/json.hpp>

#include <atomic>
#include <memory>
#include <string>

namespace droidlens {

// What the modes need to know of a model to talk to it: the frame its boxes and
// points come in, and the largest image side to send it (0: full size).
struct AnswerProfile {
    std::string coordinates = "rel1000";
    long long max_image_side = 0;
};

// Anything that can answer a chat-completions request. Modes take a ChatModel so
// that tests and other front ends can substitute their own model.
class ChatModel {
public:
    virtual ~ChatModel() = default;

    // droidlens's own frame and full-size images unless a client says otherwise.
    virtual AnswerProfile answer_profile() const { return {}; }

    // Sends one request and returns the service's response object unchanged.
    // `messages` must be a list, `tools` a list or null, `tool_choice` an object or
    // null; `temperature` and `max_tokens` numbers or null (null: the configured value).
    Json chat(const Json& messages, const Json& tools = nullptr, const Json& tool_choice = nullptr,
              const Json& temperature = nullptr, const Json& max_tokens = nullptr);

protected:
    // Called by chat() after the argument types were checked.
    virtual Json send_chat(const Json& messages, const Json& tools, const Json& tool_choice,
                           const Json& temperature, const Json& max_tokens) = 0;
};

// The chat-completions client over HTTP(S). Holds the configuration it was built
// with; every call POSTs to base_url + "/chat/completions" with its own copy of it.
// The constructor refuses a configuration whose timeout is not a positive number
// (UsageError). Requests from several threads may run at once; within a run
// (run.hpp) every request uses the settings the run started with.
class Modelwire : public ChatModel {
public:
    explicit Modelwire(ModelConfig settings);
    ~Modelwire() override;
    Modelwire(const Modelwire&) = delete;
    Modelwire& operator=(const Modelwire&) = delete;

    const ModelConfig& settings() const { return settings_; }
    // The configuration is read again on every call, so a change takes effect on the next one.
    ModelConfig& settings() { return settings_; }

    // From the run's settings within a run (run.hpp), else from the client's own.
    AnswerProfile answer_profile() const override;

    // Whether the service refused a tool choice naming a function, so that this
    // client now asks with "required".
    bool refused_named_tool_choice() const { return named_choice_refused_; }

    // One request with the given settings instead of the client's own (a binding copies
    // them where it may do so safely, so that no request reads settings being changed).
    // The arguments are those of chat(), already checked.
    Json chat_with(const ModelConfig& settings, const Json& messages, const Json& tools, const Json& tool_choice,
                   const Json& temperature, const Json& max_tokens);

protected:
    Json send_chat(const Json& messages, const Json& tools, const Json& tool_choice,
                   const Json& temperature, const Json& max_tokens) override;

private:
    ModelConfig settings_;
    // The service refused a tool choice naming a function: "required" from then on.
    std::atomic<bool> named_choice_refused_{false};
    struct Client;
    std::unique_ptr<Client> client_;
};

}  // namespace droidlens
