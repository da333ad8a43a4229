// Reading what a chat-completions service answered: the arguments of a tool call,
// wherever the service put them, and the text of a plain answer. Every mode reads
// its answers here.
#pragma once

#include <droidlens/json.hpp>

#include <string>
#include <string_view>
#include <vector>

namespace droidlens::answer {

// The first choice's message of a chat-completions response. Throws
// ModelAnswerError "Empty LLM response" when there is no choice, and
// "Malformed LLM response: ..." when the response is not shaped like a completion.
const Json& first_message(const Json& response);

// The arguments of the call of `tool_name`, as an object, taken from the first
// place that has them:
//   1. message.tool_calls: the first call of that name, its "arguments" a JSON text
//      or already an object (llama-server);
//   2. <tool_call>{"name": ..., "arguments": {...}}</tool_call> in the content
//      (Qwen and Hermes chat templates);
//   3. a ```json fence in the content (servers that ignore the forced tool choice);
//   4. the first balanced JSON object in the content whose keys fit the tool
//      (`keys`: the tool's parameter names), or that names the tool and carries
//      its arguments.
// Content that is null or "", reasoning beside it, a missing call id and any
// finish reason are accepted. Throws ModelAnswerError "Empty LLM response" (no
// choice), "Tool call '<name>' not found" (none of the four), JsonParseError for a
// tool call whose arguments are not JSON, ModelAnswerTypeError "Expected dict, got
// list" for arguments that are JSON but not an object.
Json tool_arguments(const Json& response, const std::string& tool_name, const std::vector<std::string>& keys);

// The text of the first choice's answer: "" when the content is null or absent.
// Content given as a list of parts (some servers do) is joined from its text parts.
// Throws as first_message() does, and ModelAnswerError for content of another type.
std::string text_content(const Json& response);

// The parameter names of one of droidlens's tools ("return_target", ...); empty for
// a name it does not know.
const std::vector<std::string>& tool_keys(const std::string& tool_name);

}  // namespace droidlens::answer
