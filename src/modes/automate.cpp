#include "modes/automate.hpp"

#include "device/adb/selection.hpp"
#include "model/answer.hpp"
#include "model/frames.hpp"

#include <droidlens/console.hpp>
#include <droidlens/errors.hpp>
#include <droidlens/events.hpp>
#include <droidlens/modelwire.hpp>
#include <droidlens/run.hpp>

#include "modes/action.hpp"
#include "utils/base64.hpp"
#include "utils/fs.hpp"
#include "utils/image.hpp"
#include "utils/text.hpp"

#include <openssl/evp.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <cstdio>

namespace droidlens::automate {

namespace {

// Prompts, taught action vocabulary included. Both end in a line break.
constexpr const char* kEnglishPrompt =
    "\n"
    "You are an Android operation assistant. Observe screenshots and execute tasks.\n"
    "\n"
    "Output format:\n"
    "1. Brief explanation of what you see and why you do this\n"
    "2. do(action=\"...\", ...) or finish(message=\"...\")\n"
    "\n"
    "Available actions:\n"
    "- do(action=\"Tap\", element=[x,y])\n"
    "- do(action=\"Type\", text=\"text\")\n"
    "- do(action=\"Swipe\", start=[x1,y1], end=[x2,y2])\n"
    "- do(action=\"Back\")\n"
    "- do(action=\"Home\")\n"
    "- do(action=\"Long Press\", element=[x,y])\n"
    "- do(action=\"Wait\", duration=\"x seconds\")\n"
    "- finish(message=\"completion message\")\n"
    "\n"
    "Important:\n"
    "1. Carefully observe screenshots, decide based on actual visible elements\n"
    "2. If action fails, immediately try different method (tap coordinates/search/swipe)\n"
    "3. Check screen changes after each action\n";

constexpr const char* kChinesePrompt =
    "\n"
    "\n"
    "# 你的身份和任务\n"
    "你正在远程操作一台真实的 Android 设备（可能是手机、平板、车机）。\n"
    "你通过观察设备的实时屏幕截图来执行用户的任务。\n"
    "\n"
    "# 设备特性理解\n"
    "1. **物理限制**：这是真实设备，操作需要时间响应，界面加载需要等待\n"
    "2. **触摸交互**：所有操作都是模拟手指触摸，坐标必须精确\n"
    "3. **屏幕尺寸**：设备有固定的屏幕分辨率，列表内容可能超出可见区域\n"
    "4. **应用状态**：应用可能卡顿、崩溃、加载缓慢，需要灵活应对\n"
    "5. **系统行为**：Android系统有返回键、主屏幕键等标准导航方式\n"
    "\n"
    "# 系统导航栏识别（重要）\n"
    "屏幕顶部或底部通常有系统导航栏，你必须学会识别这些标准图标：\n"
    "- **房子图标** → 主屏幕/桌面\n"
    "- **四宫格/九宫格** → 应用列表/所有应用\n"
    "- **左箭头/三角形** → 返回上一级\n"
    "- **正方形/双矩形** → 最近任务/多任务切换\n"
    "- **齿轮图标** → 系统设置\n"
    "- **三条横线/汉堡菜单** → 侧边栏菜单\n"
    "- **三个点** → 更多选项/溢出菜单\n"
    "\n"
    "当你需要进入某个系统功能时：\n"
    "1. 先观察屏幕上下边缘的导航栏图标\n"
    "2. 识别每个图标的含义\n"
    "3. 通过点击对应图标进入目标功能\n"
    "4. 如果当前应用全屏，尝试 Home 操作回到主屏幕\n"
    "\n"
    "# 输出格式\n"
    "1. 简短说明你看到什么，为什么这样做\n"
    "2. do(action=\"操作\", ...) 或 finish(message=\"...\")\n"
    "\n"
    "# 可用操作\n"
    "- do(action=\"Tap\", element=[x,y])  # 坐标范围 0-999\n"
    "- do(action=\"Type\", text=\"文本\")\n"
    "- do(action=\"Swipe\", start=[x1,y1], end=[x2,y2])  # 滑动手势\n"
    "- do(action=\"Back\")\n"
    "- do(action=\"Home\")\n"
    "- do(action=\"Long Press\", element=[x,y])\n"
    "- do(action=\"Wait\", duration=\"x seconds\")\n"
    "- finish(message=\"完成信息\")\n"
    "\n"
    "# 核心策略\n"
    "\n"
    "1. **视觉分析优先**\n"
    "   - 仔细观察截图中的所有可见元素（按钮、图标、文字、列表项, 弹窗, 界面滑动控件）\n"
    "   - 识别界面类型：主屏幕/应用列表/设置页面/输入框/列表/弹窗\n"
    "   - 注意滚动条、下拉箭头等提示有更多内容的标志\n"
    "\n"
    "2. **列表和滚动处理**\n"
    "   - Android列表通常很长，内容超出屏幕可见区域\n"
    "   - 看到列表时，先检查目标是否在可见区域\n"
    "   - 如果目标不可见（如\"中文\"在语言列表中），必须滑动查看\n"
    "\n"
    "   **滚动控件识别**（优先级最高）：\n"
    "   - 首先检查列表旁边是否有滚动控制按钮（上箭头▲、下箭头▼、滚动条等）\n"
    "   - 如果有这些控件，优先点击它们来滚动，比Swipe更可靠\n"
    "   - 车机界面经常使用按钮控制滚动而非手势滑动\n"
    "\n"
    "   **滑动手势**（当没有滚动控件时使用）：\n"
    "   - 向下滑动查看下方内容：do(action=\"Swipe\", start=[500,700], end=[500,300])\n"
    "   - 向上滑动查看上方内容：do(action=\"Swipe\", start=[500,300], end=[500,700])\n"
    "   - 左右滑动切换页面：do(action=\"Swipe\", start=[800,500], end=[200,500])\n"
    "\n"
    "   **单向持续滑动策略**（关键）：\n"
    "   - 选定一个方向后，必须持续向该方向滑动，直到：(1)找到目标 或 (2)确认到达边界\n"
    "   - **禁止来回切换方向**：不要滑动几次就换方向，这样会在同一区域反复徘徊\n"
    "   - 判断到达边界的方法：连续2次滑动后界面内容完全相同\n"
    "   - 正确做法：先持续向下滑动到底部，如果没找到，再持续向上滑动到顶部\n"
    "   - 错误做法：向下滑2次→向上滑1次→向下滑1次（来回切换）\n"
    "   - 如果整个列表都滑动完毕仍未找到，尝试使用搜索功能\n"
    "\n"
    "3. **失败后的应对**\n"
    "   - 如果操作无效（界面未变化），立即分析原因：\n"
    "     * 是否点击位置不对？重新观察截图找准坐标\n"
    "     * 是否目标在屏幕外？尝试滑动\n"
    "     * 是否列表已到底部？尝试反向滑动或使用搜索\n"
    "     * 是否需要先展开菜单？点击下拉箭头或三点图标\n"
    "     * 是否应用未响应？尝试 Back 返回或 Home 回到主屏幕\n"
    "   - 不要重复相同操作超过2次\n"
    "\n"
    "4. **多路径思维**\n"
    "   - 方法A失败后，立即尝试方法B、C：\n"
    "     * 从主屏幕点击图标打开应用\n"
    "     * 点击按钮 vs 使用搜索功能\n"
    "     * 逐级导航 vs 直接跳转\n"
    "   - 优先选择最直接的路径\n"
    "\n"
    "5. **搜索功能利用**\n"
    "   - 看到搜索图标（放大镜）时，优先使用搜索\n"
    "   - 在设置中搜索功能名称比逐级点击更快\n"
    "   - 在应用列表中搜索应用名比滚动查找更准确\n"
    "\n"
    "6. **界面状态判断**\n"
    "   - 每次操作后对比前后截图，确认变化\n"
    "   - 如果current_app未变但界面变了，说明在同一应用内导航\n"
    "   - 如果界面完全相同，说明操作未生效，必须立即换方法\n"
    "\n"
    "7. **坐标精确度**\n"
    "   - 点击按钮时瞄准中心位置\n"
    "   - 避免点击边缘或文字外的空白区域\n"
    "   - 小图标需要更精确的坐标\n"
    "\n"
    "8. **特殊场景处理**\n"
    "   - 弹窗/对话框：先处理弹窗再继续主任务\n"
    "   - 权限请求：根据任务需要选择允许/拒绝\n"
    "   - 加载中：使用 Wait 等待界面加载完成\n"
    "   - 键盘遮挡：输入完成后可能需要 Back 关闭键盘\n"
    "\n"
    "# 关键原则\n"
    "- 你操作的是真实设备，不是模拟器，每个操作都会产生真实效果\n"
    "- 观察截图是你唯一的信息来源，必须仔细分析\n"
    "- 界面未变化 = 操作失败，必须立即调整策略\n"
    "- 不要假设，不要猜测，基于实际看到的内容决策\n";

constexpr std::array<const char*, 7> kChineseWeekdays = {"星期一", "星期二", "星期三", "星期四",
                                                          "星期五", "星期六", "星期日"};

constexpr const char* kFinishMarker = "finish(message=";
constexpr const char* kDoMarker = "do(action=";

std::string format_time(const std::tm& t, const char* format) {
    char buf[128];
    const std::size_t n = std::strftime(buf, sizeof buf, format, &t);
    return std::string(buf, n);
}

// Length of the white-space character at the start of `s` (0 when there is none):
// ASCII white space and the Unicode spaces and separators (NEL, no-break space,
// U+1680, U+2000-U+200A, line and paragraph separators, U+202F, U+205F, the
// ideographic space), so that an answer framed by full-width blanks is trimmed too.
std::size_t space_at(std::string_view s) {
    if (s.empty()) return 0;
    if (text::is_space(s[0])) return 1;
    const auto b = [&](std::size_t i) { return i < s.size() ? static_cast<unsigned char>(s[i]) : 0u; };
    if (b(0) == 0xC2 && (b(1) == 0x85 || b(1) == 0xA0)) return 2;
    if (s.size() < 3) return 0;  // a cut-off sequence at the end is no space
    if (b(0) == 0xE1 && b(1) == 0x9A && b(2) == 0x80) return 3;  // U+1680
    if (b(0) == 0xE2 && b(1) == 0x80 && (b(2) <= 0x8A || b(2) == 0xA8 || b(2) == 0xA9 || b(2) == 0xAF)) return 3;
    if (b(0) == 0xE2 && b(1) == 0x81 && b(2) == 0x9F) return 3;  // U+205F
    if (b(0) == 0xE3 && b(1) == 0x80 && b(2) == 0x80) return 3;  // U+3000
    return 0;
}

// Length of the white-space character that ends `s` (0 when there is none).
std::size_t space_before_end(std::string_view s) {
    std::size_t start = s.size();
    while (start > 0 && s.size() - start < 4) {
        --start;
        if ((static_cast<unsigned char>(s[start]) & 0xC0) != 0x80) break;  // the last character starts here
    }
    const std::size_t len = s.size() - start;
    return len > 0 && space_at(s.substr(start)) == len ? len : 0;
}

std::string unicode_trim(std::string_view s) {
    while (std::size_t n = space_at(s)) s.remove_prefix(n);
    while (std::size_t n = space_before_end(s)) s.remove_suffix(n);
    return std::string(s);
}

// Lowercase hexadecimal MD5 of the bytes of `data`.
std::string md5_hex(std::string_view data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &len, EVP_md5(), nullptr) != 1)
        throw RuntimeError("MD5 digest failed");
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < len; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 0xF];
    }
    return out;
}

Json plain_message(const char* role, std::string content) {
    Json m = Json::object();
    m["role"] = role;
    m["content"] = std::move(content);
    return m;
}

Json result_record(const char* status, const std::string& message, std::int64_t steps) {
    Json r = Json::object();
    r["mode"] = "automate";
    r["status"] = status;
    r["message"] = message;
    r["steps"] = steps;
    return r;
}

}  // namespace

std::tm local_now() {
    std::time_t now = std::time(nullptr);
    // SOURCE_DATE_EPOCH (the reproducible-builds convention, seconds since 1970) fixes
    // the date the task is given, so that a run recorded in the answer cache replays
    // on another day with the same requests.
    if (const char* fixed = std::getenv("SOURCE_DATE_EPOCH"); fixed != nullptr && *fixed != '\0') {
        char* end = nullptr;
        const long long seconds = std::strtoll(fixed, &end, 10);
        if (end != nullptr && *end == '\0' && seconds >= 0) now = static_cast<std::time_t>(seconds);
    }
    std::tm t{};
    localtime_r(&now, &t);
    return t;
}

std::string _get_system_prompt(const std::string& lang, const std::tm& now) {
    if (lang == "en") return "The current date: " + format_time(now, "%Y-%m-%d, %A") + kEnglishPrompt;
    const int monday_first = (now.tm_wday + 6) % 7;  // tm_wday counts from Sunday
    return "今天的日期是: " + format_time(now, "%Y年%m月%d日") + " " + kChineseWeekdays.at(monday_first) +
           kChinesePrompt;
}

std::string _get_system_prompt(const std::string& lang) { return _get_system_prompt(lang, local_now()); }

Json _build_user_message(const std::string& text, const std::string& image_base64) {
    Json image = Json::object();
    image["type"] = "image_url";
    image["image_url"] = Json{{"url", "data:image/png;base64," + image_base64}};
    Json part = Json::object();
    part["type"] = "text";
    part["text"] = text;
    Json m = Json::object();
    m["role"] = "user";
    m["content"] = Json::array({std::move(image), std::move(part)});
    return m;
}

std::pair<std::string, std::string> _parse_response(const std::string& content) {
    for (const char* marker : {kFinishMarker, kDoMarker}) {
        const std::size_t at = content.find(marker);
        if (at != std::string::npos) return {unicode_trim(std::string_view(content).substr(0, at)), content.substr(at)};
    }
    return {"", unicode_trim(content)};
}

void _strip_images(Json& message) {
    if (!message.is_object() || !message.contains("content") || !message["content"].is_array()) return;
    Json kept = Json::array();
    for (const Json& part : message["content"])
        if (part.is_object() && part.value("type", Json()) == "text") kept.push_back(part);
    message["content"] = std::move(kept);
}

std::string repeat_feedback(const std::string& action_text, std::int64_t count, const std::string& current_app) {
    return std::string("【最高优先级反馈｜必须严格遵守】\n"
                       "你刚才的操作 '" +
                       action_text +
                       "' 已连续执行" +
                       std::to_string(count) +
                       "次，但界面/截图没有任何可见变化（当前应用：" +
                       current_app +
                       "）。\n"
                       "\n"
                       "这不是让你继续'再试一次'的信号；这说明你的界面理解、目标定位或动作前提很可能存在错误。\n"
                       "请立刻停止机械重复，并在下一次回复中进行一次深度复盘（必须写在思考部分）：\n"
                       "1) 重新基于当前截图提取关键信息：页面标题/当前焦点/是否有弹窗或遮罩/是否出现键盘或加载状态/哪些元素明确可点击；\n"
                       "2) 明确解释'为什么界面没变'的最可能原因，并给出截图证据支撑（不要凭空猜测截图里不存在的控件/状态）；\n"
                       "3) 重新制定新的动作规划：下一步必须选择与刚才不同、且能最大化验证你假设的动作，并写清楚你期望看到的界面变化。\n"
                       "\n"
                       "强制要求：不要重复同一动作；不要沿用旧计划不加验证；本条反馈优先级高于你先前的任何假设。");
}

std::string no_change_feedback(const std::string& action_text, std::int64_t count, const std::string& current_app) {
    return std::string("【严重反馈｜必须立即停下并深度思考】\n"
                       "检测到当前截图与上一轮一致：连续" +
                       std::to_string(count) +
                       "轮动作后界面仍然完全未变化（当前应用：" +
                       current_app +
                       "）。\n"
                       "最近动作：" +
                       action_text +
                       "\n"
                       "\n"
                       "这表明你的动作没有生效，或你对当前界面的理解已经偏离。\n"
                       "请把本条反馈当作最高优先级约束：下一次回复必须先重新深度理解当前截图，再输出新的动作规划。\n"
                       "具体要求（必须写在思考部分）：\n"
                       "1) 用一句话重述当前子目标（与任务相关），并说明你认为自己处于哪个页面/状态；\n"
                       "2) 从截图中重新核对可交互对象与状态，指出你之前判断可能错在哪里；\n"
                       "3) 提出至少2个'界面不变'的原因假设，并为每个假设给出一个可验证的判断依据；\n"
                       "4) 选择一个与前两轮不同、信息增益最大的下一步动作来验证假设，并写明预期结果与后续分支。\n"
                       "\n"
                       "强制要求：不要继续尝试相同模式的操作；不要跳过截图复核；忽略本反馈将被视为失败。");
}

std::string parse_feedback(const std::string& error, const std::string& action_text) {
    return std::string("解析失败：" +
                       error +
                       "\n"
                       "你的输出：" +
                       action_text +
                       "\n"
                       "请检查格式，使用正确的等号（=）而非冒号或引号。\n"
                       "正确示例：do(action=\"Tap\", element=[x,y])");
}

namespace {

// Times one step and, when an observer watches, hands it the step as it ended: on
// every path out of the loop body (performed, finished, answered with feedback).
// A step that fails with an error is not reported.
struct StepWatch {
    using Clock = std::chrono::steady_clock;

    explicit StepWatch(RunObserver* observer_) : observer(observer_) {}
    ~StepWatch() {
        if (observer == nullptr || std::uncaught_exceptions() > 0) return;
        lap(event.own_seconds);
        try {
            observer->on_automate_step(event);
        } catch (...) {
            // An observer's failure must not end the run it watches.
        }
    }
    StepWatch(const StepWatch&) = delete;
    StepWatch& operator=(const StepWatch&) = delete;

    // Adds the time since the last lap to `bucket`.
    void lap(double& bucket) {
        const Clock::time_point now = Clock::now();
        bucket += std::chrono::duration<double>(now - last).count();
        last = now;
    }
    void warn(const std::string& line) {
        console_line(line);
        if (observer) event.warnings.push_back(line);
    }
    std::string feedback(std::string text) {
        if (observer) event.feedback = text;
        return text;
    }

    RunObserver* observer;
    AutomateStep event;
    Clock::time_point last = Clock::now();
};

}  // namespace

AutoRunner::AutoRunner(ChatModel* llm_, std::optional<std::string> device_id_, std::int64_t max_steps_,
                       const std::string& lang, std::optional<std::string> output_dir_,
                       std::optional<std::int64_t> display_id_, LocalClock clock)
    : llm(llm_),
      device_id(std::move(device_id_)),
      max_steps(max_steps_),
      system_prompt(_get_system_prompt(lang, clock())),
      output_dir(std::move(output_dir_)),
      display_id(display_id_),
      device(adb::Device::unresolved(device_id, display_id)),
      action_handler(device),
      clock_(std::move(clock)) {}

std::string AutoRunner::step_file_name(const std::string& run_id, std::int64_t step) const {
    char number[32];
    std::snprintf(number, sizeof number, "%03lld", static_cast<long long>(step));
    const std::string suffix = display_id ? "_d" + std::to_string(*display_id) : "";
    return run_id + "_step" + number + suffix + ".png";
}

std::optional<std::string> AutoRunner::_save_step_screenshot(const std::string& base64_data, const std::string& run_id,
                                                             std::int64_t step) const {
    if (!output_dir || output_dir->empty()) return std::nullopt;
    return save_step_png(image::base64_to_image_bytes(base64_data), run_id, step);
}

std::optional<std::string> AutoRunner::save_step_png(const std::string& png, const std::string& run_id,
                                                     std::int64_t step) const {
    if (!output_dir || output_dir->empty()) return std::nullopt;
    fs::ensure_directory(*output_dir);
    const std::string path = fs::join(*output_dir, step_file_name(run_id, step));
    fs::write_file(path, png);
    return path;
}

std::optional<std::string> AutoRunner::save_first_step(const std::string& png, std::string& run_id) const {
    if (!output_dir || output_dir->empty()) return std::nullopt;
    fs::ensure_directory(*output_dir);
    // The first step's file claims the run id: a run that started in the same second
    // in the same directory has taken it, so this one becomes run_id + "_2", ...
    const fs::NewFile file = fs::write_new_file(
        *output_dir, [&](const std::string& n) { return step_file_name(run_id + n, 1); }, png);
    run_id += file.suffix;
    return file.path;
}

Json AutoRunner::run(const std::string& task) {
    std::int64_t completed = 0;
    try {
        return run_steps(task, completed);
    } catch (const CancelledError&) {
        // Stopped on request: say how far the run got; the screenshots saved stay.
        std::string message = "Cancelled after " + std::to_string(completed) +
                              (completed == 1 ? " completed step" : " completed steps") + " (step " +
                              std::to_string(completed + 1) + " was interrupted)";
        if (output_dir && !output_dir->empty()) message += "; step screenshots are in " + *output_dir;
        throw CancelledError(message);
    }
}

Json AutoRunner::run_steps(const std::string& task, std::int64_t& completed) {
    Json context = Json::array({plain_message("system", system_prompt)});
    std::string run_id = format_time(clock_(), "%Y%m%d_%H%M%S_automate");
    std::string last_action;
    std::string last_hash;
    std::int64_t repeats = 0;
    std::int64_t unchanged = 0;

    RunObserver* const observer = current_run_observer();
    const AnswerProfile profile = llm->answer_profile();
    const frames::Frame frame = frames::parse_frame(profile.coordinates);
    for (std::int64_t step = 0; step < max_steps; completed = ++step) {
        const std::int64_t n = step + 1;
        StepWatch watch(observer);
        watch.event.step = n;
        watch.event.max_steps = max_steps;
        watch.event.task = task;
        watch.event.display_id = display_id;

        const adb::PngScreenshot screenshot = device.screenshot();
        const std::string current_app = device.current_app();
        watch.lap(watch.event.device_seconds);
        const auto saved_path =
            n == 1 ? save_first_step(screenshot.png, run_id) : save_step_png(screenshot.png, run_id, n);
        watch.event.run_id = run_id;
        if (saved_path) console_line("[DEBUG] Screenshot saved: " + *saved_path);
        if (observer) {
            watch.event.screenshot_path = saved_path;
            watch.event.screenshot_base64 = base64::encode(screenshot.png);
            watch.event.width = screenshot.width;
            watch.event.height = screenshot.height;
            watch.event.current_app = current_app;
        }

        const std::string hash = md5_hex(screenshot.png);
        const std::string info = action::_screen_info(current_app, display_id);
        const std::string user_text = step == 0 ? task + "\n\n" + info : "Screen Info:\n" + info;
        // The screenshot as the model's profile asks (scaled down to its largest side).
        int sent_w = screenshot.width, sent_h = screenshot.height;
        const std::string picture = image::fit_png_to_base64(screenshot.png, profile.max_image_side, sent_w, sent_h);
        context.push_back(_build_user_message(user_text, picture));
        console_line("\n[DEBUG] Step " + std::to_string(n) + " - Sending request with " +
                     std::to_string(context.size()) + " messages");
        console_line("[DEBUG] Screen info: " + info);

        watch.lap(watch.event.own_seconds);
        RunContext* run = current_run();
        const int hits_before = run != nullptr ? run->cache_hits : 0;
        const std::string content = answer::text_content(llm->chat(context, nullptr, nullptr, 0.1));
        watch.lap(watch.event.model_seconds);
        watch.event.cached = run != nullptr && run->cache_hits > hits_before;
        console_line("\n[DEBUG] Model response content:\n" + content + "\n");
        const auto [thinking, action_text] = _parse_response(content);
        if (observer) {
            watch.event.content = content;
            watch.event.thinking = thinking;
            watch.event.action_text = action_text;
        }

        // The same action text as last time: allowed once more with a warning, then
        // answered with feedback instead of being performed a third time.
        if (action_text == last_action) {
            ++repeats;
            watch.warn("[WARNING] Repeated action detected (" + std::to_string(repeats) + " times): " + action_text);
            if (repeats >= 2) {
                context.push_back(_build_user_message(watch.feedback(repeat_feedback(action_text, repeats, current_app)),
                                                      picture));
                repeats = 0;
                last_action.clear();
                continue;
            }
        } else {
            repeats = 0;
            last_action = action_text;
        }

        Json action;
        try {
            action = actions::parse_action(action_text);
        } catch (const ValueError& e) {
            context.push_back(_build_user_message(watch.feedback(parse_feedback(e.what(), action_text)),
                                                  picture));
            continue;
        }

        // Points in droidlens's frame, whatever frame the model answers in.
        for (const char* key : {"element", "start", "end"})
            if (action.contains(key)) action[key] = frames::point_to_ours(action[key], frame, {sent_w, sent_h});

        // Only the newest screenshot travels with later requests.
        _strip_images(context.back());
        context.push_back(plain_message("assistant", thinking.empty() ? action_text : thinking + "\n" + action_text));
        if (observer) watch.event.action = action;
        watch.lap(watch.event.own_seconds);
        const actions::ActionResult result = action_handler.execute(action, screenshot.width, screenshot.height);
        watch.lap(watch.event.device_seconds);
        watch.event.executor_message = result.message;

        // This screenshot equal to the one of the step before: the previous action
        // changed nothing.
        if (step > 0 && hash == last_hash) {
            ++unchanged;
            watch.warn("[WARNING] Screen unchanged after action (" + std::to_string(unchanged) + " times)");
            if (unchanged >= 2) {
                context.push_back(_build_user_message(
                    watch.feedback(no_change_feedback(action_text, unchanged, current_app)), picture));
                unchanged = 0;
                last_hash = hash;
                continue;
            }
        } else {
            unchanged = 0;
        }

        if (action.value("_metadata", Json()) == "finish" || result.should_finish) {
            const Json fallback = action.value("message", Json(""));
            const std::string message =
                !result.message.empty() ? result.message : (fallback.is_string() ? fallback.get<std::string>() : "");
            watch.event.finished = true;
            return result_record("finished", message, n);
        }
        last_hash = hash;
    }
    return result_record("max_steps", "Max steps reached", max_steps);
}

Json run(const ModeArgs& args) {
    if (args.llm == nullptr) throw UsageError("Mode 'automate' needs a model client, but none was given");
    if (args.max_steps < 0)
        throw UsageError("max_steps must not be negative, got " + std::to_string(args.max_steps));
    // The device is resolved once, by the rules every mode uses ("Multiple devices
    // detected; ..."), and every step then addresses that serial. A run of no steps
    // touches no device.
    std::optional<std::string> serial = args.device_id;
    if (args.max_steps > 0) serial = adb::resolve_device_id(args.device_id);
    AutoRunner runner(args.llm, serial, args.max_steps, args.lang, args.output_dir, args.display_id);
    return runner.run(args.prompt);
}

}  // namespace droidlens::automate
