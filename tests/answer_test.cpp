// Reading the model's answer wherever the servers people run put it, and the client
// asking again when a server refuses a tool choice that names our function.
#include <droidlens/errors.hpp>
#include <droidlens/modelwire.hpp>

#include "model/answer.hpp"
#include "model/frames.hpp"
#include "query_support.hpp"

using namespace droidlens;

namespace {

const std::vector<std::string>& keys() { return answer::tool_keys("return_target"); }

Json body(const fakes::ScriptedReply& r) { return Json::parse(r.body); }

const Json kArguments = {{"label", "OK"}, {"bounding_box", {100, 200, 300, 400}}, {"confidence", 0.9}, {"page", 1}};

}  // namespace

TEST(Answer, EveryServerStyleGivesTheSameArguments) {
    const fakes::ScriptedReply reply = testsupport::tool_reply("return_target", kArguments);
    for (const auto style : {fakes::ServerStyle::kOpenAI, fakes::ServerStyle::kOllama, fakes::ServerStyle::kLlamaServer,
                             fakes::ServerStyle::kHermes, fakes::ServerStyle::kPlainJson}) {
        const Json response = body(fakes::in_style(reply, style, Json()));
        EXPECT_EQ(answer::tool_arguments(response, "return_target", keys()), kArguments) << response.dump();
    }
    // A named call in a fence, arguments as text; content given as a list of parts.
    const Json named = {{"name", "return_target"}, {"arguments", kArguments.dump()}};
    Json r = body(fakes::text_reply("```json\n" + named.dump() + "\n```"));
    EXPECT_EQ(answer::tool_arguments(r, "return_target", keys()), kArguments);
    r["choices"][0]["message"]["content"] = Json::array({{{"type", "text"}, {"text", kArguments.dump()}}});
    EXPECT_EQ(answer::tool_arguments(r, "return_target", keys()), kArguments);
}

TEST(Answer, TextThatHoldsNoArgumentsIsNotACall) {
    auto read = [](const std::string& content) {
        return answer::tool_arguments(body(fakes::text_reply(content)), "return_target", keys());
    };
    // Prose, objects that fit another tool, a call of another tool, braces without end.
    for (const std::string& content :
         {std::string("It is the blue button."), std::string(R"({"items": []} and {"x": 1})"),
          std::string(R"(<tool_call>{"name": "other", "arguments": {"q": 1}}</tool_call>)"),
          std::string(100000, '{'), std::string("")}) {
        EXPECT_THROW_MSG(read(content), ModelAnswerError, "Tool call 'return_target' not found");
    }
    // The first object that fits wins, whatever comes before it.
    EXPECT_EQ(read(R"(Thinking {"step": 1} ... {"bounding_box": [1, 2, 3, 4]} {"bounding_box": [5]})")["bounding_box"],
              Json({1, 2, 3, 4}));
    // A tool call whose arguments are broken stays an error of its own kind.
    EXPECT_THROW(answer::tool_arguments(body(fakes::tool_call_reply("return_target", "{bounding_box: [1]}")),
                                        "return_target", keys()),
                 JsonParseError);
    EXPECT_THROW(answer::tool_arguments(body(fakes::tool_call_reply("return_target", "[1, 2]")), "return_target", keys()),
                 ModelAnswerTypeError);
    EXPECT_THROW_MSG(answer::text_content(body(fakes::empty_choices_reply())), ModelAnswerError, "Empty LLM response");
}

TEST(Answer, ARefusedNamedToolChoiceIsAskedAgainWithRequired) {
    fakes::FakeChatServer server;
    server.set_style(fakes::ServerStyle::kRejectsNamedChoice);
    ModelConfig c;
    c.base_url = server.base_url();
    c.model = "m";
    c.max_retries = 0;
    Modelwire llm(c);
    const Json tools = Json::array({{{"type", "function"}, {"function", {{"name", "return_target"}}}}});
    const Json named = {{"type", "function"}, {"function", {{"name", "return_target"}}}};
    const Json messages = Json::array({{{"role", "user"}, {"content", "x"}}});
    server.enqueue(testsupport::tool_reply("return_target", kArguments));
    server.enqueue(testsupport::tool_reply("return_target", kArguments));
    EXPECT_EQ(answer::tool_arguments(llm.chat(messages, tools, named), "return_target", keys()), kArguments);
    EXPECT_EQ(answer::tool_arguments(llm.chat(messages, tools, named), "return_target", keys()), kArguments);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);  // refused once, then "required" at once for the rest of the client's life
    EXPECT_EQ(requests[0].json->at("tool_choice"), named);
    EXPECT_EQ(requests[1].json->at("tool_choice"), "required");
    EXPECT_EQ(requests[2].json->at("tool_choice"), "required");
    // Every other field is the same request.
    Json first = *requests[0].json, second = *requests[1].json;
    first.erase("tool_choice");
    second.erase("tool_choice");
    EXPECT_EQ(first, second);

    // With tool_choice "none" no tools are sent; the request for the arguments is the
    // last message, and the JSON in the answer is read as the call.
    llm.settings().tool_choice = "none";
    server.set_style(fakes::ServerStyle::kPlainJson);
    server.enqueue(testsupport::tool_reply("return_target", kArguments));
    EXPECT_EQ(answer::tool_arguments(llm.chat(messages, tools, named), "return_target", keys()), kArguments);
    const Json last = *server.requests().back().json;
    EXPECT_TRUE(last["tools"].is_null());
    EXPECT_TRUE(last["tool_choice"].is_null());
    ASSERT_EQ(last["messages"].size(), 2u);
    EXPECT_NE(last["messages"][1]["content"][0]["text"].get<std::string>().find("return_target"), std::string::npos);
}

TEST(Frames, BoxesAndPointsComeBackInOurFrame) {
    using frames::Frame;
    const frames::SentSize sent{800, 400};
    EXPECT_EQ(frames::box_to_ours(Json{400, 100, 800, 300}, Frame::kPixels, sent), Json({500.0, 250.0, 1000.0, 750.0}));
    EXPECT_EQ(frames::box_to_ours(Json{250, 500, 750, 1000}, Frame::kRel1000YX, sent),
              Json({500.0, 250.0, 1000.0, 750.0}));
    EXPECT_EQ(frames::box_to_ours(Json{0.5, 0.25, 1.0, 0.75}, Frame::kRel1, sent), Json({500.0, 250.0, 1000.0, 750.0}));
    // Swapped corners are put in order; values past the edge are clamped.
    EXPECT_EQ(frames::box_to_ours(Json{900, 500, -10, 100}, Frame::kPixels, sent), Json({0.0, 250.0, 1000.0, 1000.0}));
    EXPECT_EQ(frames::point_to_ours(Json{200, 100}, Frame::kPixels, sent), Json({250.0, 250.0}));
    EXPECT_EQ(frames::point_to_ours(Json{100, 200}, Frame::kRel1000YX, sent), Json({200.0, 100.0}));
    // Our own frame, and anything that is not numbers, pass as they are.
    EXPECT_EQ(frames::box_to_ours(Json{-5, 2000, 1, 3}, Frame::kRel1000, sent), Json({-5, 2000, 1, 3}));
    EXPECT_EQ(frames::box_to_ours(Json{"1", 2, 3, 4}, Frame::kPixels, sent), Json({"1", 2, 3, 4}));
    EXPECT_THROW_MSG(frames::parse_frame("xy"), UsageError,
                     "Invalid coordinates: 'xy' (expected rel1000, rel1000-yx, pixels or rel1)");
}
