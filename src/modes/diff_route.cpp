// The diff mode's own options on the library's entries: route_diff() and the dynamic
// entry that the command, the Python module and the protocol server call. The common
// arguments are bound by the router itself (same checks, same messages); only the
// diff options are read here.
#include <droidlens/errors.hpp>
#include <droidlens/route.hpp>

#include "modes/diff.hpp"
#include "router.hpp"
#include "utils/args.hpp"

#include <algorithm>
#include <limits>

namespace droidlens {

namespace {

// A handler that runs nothing: it hands back what the diff mode would be given.
Json bound_arguments(const ModeArgs& a) {
    Json out = Json::object();
    out["image_paths"] = a.image_paths;
    out["output_dir"] = a.output_dir;
    return out;
}

const std::vector<ModeEntry>& binding_table() {
    static const std::vector<ModeEntry> table = {{{"diff", false, ""}, &bound_arguments}};
    return table;
}

std::optional<std::int64_t> integer_option(const Json& kwargs, const std::string& name) {
    const auto it = kwargs.find(name);
    if (it == kwargs.end() || it->is_null()) return std::nullopt;
    if (!it->is_number_integer()) args::throw_wrong_type(name, "int", *it);
    if (it->is_number_unsigned() &&
        it->get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        throw UsageError("Argument '" + name + "' is out of range");
    return it->get<std::int64_t>();
}

DiffOptions options_from(const Json& kwargs) {
    DiffOptions o;
    if (const auto it = kwargs.find("mask"); it != kwargs.end() && !it->is_null()) {
        if (it->is_string()) {
            o.masks.push_back(it->get<std::string>());
        } else if (it->is_array()) {
            for (size_t i = 0; i < it->size(); ++i) {
                const Json& m = (*it)[i];
                if (!m.is_string()) args::throw_wrong_type("mask[" + std::to_string(i) + "]", "str", m);
                o.masks.push_back(m.get<std::string>());
            }
        } else {
            args::throw_wrong_type("mask", "list", *it);
        }
    }
    o.merge_gap = integer_option(kwargs, "merge_gap");
    o.max_boxes = integer_option(kwargs, "max_boxes");
    o.min_area = integer_option(kwargs, "min_area");
    if (const auto it = kwargs.find("fail_above"); it != kwargs.end() && !it->is_null()) {
        if (!it->is_number()) args::throw_wrong_type("fail_above", "float", *it);
        o.fail_above = it->get<double>();
    }
    return o;
}

}  // namespace

const std::vector<std::string>& diff_option_names() {
    static const std::vector<std::string> names = {"mask", "merge_gap", "max_boxes", "min_area", "fail_above"};
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
    std::string first_given;
    Json rest = kwargs.is_object() ? Json::object() : kwargs;
    if (kwargs.is_object()) {
        for (auto it = kwargs.begin(); it != kwargs.end(); ++it) {
            const auto& names = diff_option_names();
            if (std::find(names.begin(), names.end(), it.key()) == names.end()) {
                rest[it.key()] = it.value();
            } else if (first_given.empty() && !it->is_null()) {
                first_given = it.key();
            }
        }
    }
    if (first_given.empty()) return route_dynamic(llm, args, rest);

    // The mode as the router would bind it; a wrong type or a missing mode is left to
    // the router's own messages below.
    const Json* mode = nullptr;
    if (args.is_array() && !args.empty()) mode = &args[0];
    else if (const auto it = kwargs.find("mode"); it != kwargs.end()) mode = &*it;
    if (mode && mode->is_string() && *mode != "diff")
        throw UsageError("Argument '" + first_given + "' is taken by the diff mode only");

    const DiffOptions options = options_from(kwargs);
    const Json bound = route_dynamic_with(binding_table(), llm, args, rest);
    return route_diff(bound["image_paths"].get<std::vector<std::string>>(), bound["output_dir"].get<std::string>(),
                      options);
}

}  // namespace droidlens
