// The diff mode's own options on the library's entries: route_diff() for a typed
// caller, and the router's handler that reads them from the argument set (where the
// router put them, checked, as the run options table declares them).
#include <droidlens/errors.hpp>
#include <droidlens/options.hpp>
#include <droidlens/route.hpp>

#include "modes/diff.hpp"

namespace droidlens {

const std::vector<std::string>& diff_option_names() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> v;
        for (const RunOption& o : run_options())
            if ((o.flags & kOwnModes) && option_takes(o, "diff")) v.emplace_back(o.name);
        return v;
    }();
    return names;
}

Json route_diff(const std::vector<std::string>& image_paths, const std::string& output_dir,
                const DiffOptions& options) {
    ModeArgs args;
    args.image_paths = image_paths;
    args.output_dir = output_dir;
    if (!options.given()) return diff::run(args);
    diff::Options o;
    for (const std::string& m : options.masks) o.masks.push_back(diff::parse_mask(m));
    o.merge_gap = options.merge_gap.value_or(o.merge_gap);
    o.max_boxes = options.max_boxes.value_or(o.max_boxes);
    o.min_area = options.min_area.value_or(o.min_area);
    return diff::run(args, o, options.fail_above);
}

Json route_dynamic_with_diff(ChatModel* llm, const Json& args, const Json& kwargs) {
    return route_dynamic(llm, args, kwargs);
}

namespace diff {

Json run_with_options(const ModeArgs& args) {
    const Json& given = args.options;
    DiffOptions o;
    if (const auto it = given.find("mask"); it != given.end()) o.masks = it->get<std::vector<std::string>>();
    if (const auto it = given.find("merge_gap"); it != given.end()) o.merge_gap = it->get<std::int64_t>();
    if (const auto it = given.find("max_boxes"); it != given.end()) o.max_boxes = it->get<std::int64_t>();
    if (const auto it = given.find("min_area"); it != given.end()) o.min_area = it->get<std::int64_t>();
    if (const auto it = given.find("fail_above"); it != given.end()) o.fail_above = it->get<double>();
    if (!given.contains("mask") && !o.given()) return run(args);
    return route_diff(args.image_paths, args.output_dir, o);
}

}  // namespace diff

}  // namespace droidlens
