#include <droidlens/events.hpp>
#include <droidlens/run.hpp>

namespace droidlens {

namespace {
thread_local RunObserver* t_observer = nullptr;
}

RunObserver* current_run_observer() noexcept {
    const RunContext* run = current_run();
    return run != nullptr && run->observer != nullptr ? run->observer : t_observer;
}

ScopedRunObserver::ScopedRunObserver(RunObserver* observer) noexcept : previous_(t_observer) { t_observer = observer; }

ScopedRunObserver::~ScopedRunObserver() { t_observer = previous_; }

}  // namespace droidlens
