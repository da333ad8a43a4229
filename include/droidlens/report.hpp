// Run reports: one self-contained HTML page per run that shows what the model saw
// and did. A front end creates a RunReport before the mode runs, installs it as the
// run observer for the run (ScopedRunObserver), and writes the page afterwards from
// the result record or from the error that ended the run. The record itself is not
// changed by any of this.
#pragma once

#include <droidlens/events.hpp>
#include <droidlens/json.hpp>
#include <droidlens/route.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace droidlens {

// What the report says about the run besides what the mode reports.
struct ReportRun {
    std::string mode;
    std::string prompt;
    std::vector<std::string> image_paths;  // the given screenshots
    std::optional<std::string> device_id;
    std::optional<std::int64_t> display_id;
    std::string output_dir = kDefaultOutputDir;
    std::int64_t max_steps = kDefaultMaxSteps;
    std::string model;  // the model's name; the key never reaches a report
};

class RunReport : public RunObserver {
public:
    explicit RunReport(ReportRun run);
    ~RunReport() override;
    RunReport(const RunReport&) = delete;
    RunReport& operator=(const RunReport&) = delete;

    // Each automation step is drawn and shrunk as it arrives, so a long run holds
    // small pictures only.
    void on_automate_step(const AutomateStep& step) override;
    void on_screenshot_saved(const std::string& path) override;

    // Writes the page into the run's output directory (created when missing) and
    // returns its path: run id + "_report.html" for automate, otherwise the first
    // screenshot's stem + "_" + mode + "_report.html" (a time stamp stands in for a
    // mode without screenshots). Throws FileSystemError when it cannot be written.
    std::string write(const Json& record);
    // The same for a run that ended with `error` (its message) instead of a record.
    std::string write_failed(const std::string& error);

    // The page's HTML for the run's outcome, without writing it.
    std::string render(const Json* record, const std::string* error) const;

private:
    struct State;
    std::unique_ptr<State> state_;
    std::string file_path() const;
};

}  // namespace droidlens
