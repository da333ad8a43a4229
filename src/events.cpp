#include <droidlens/events.hpp>

namespace droidlens {

namespace {
thread_local RunObserver* t_observer = nullptr;
}

RunObserver* current_run_observer() noexcept { return t_observer; }

ScopedRunObserver::ScopedRunObserver(RunObserver* observer) noexcept : previous_(t_observer) { t_observer = observer; }

ScopedRunObserver::~ScopedRunObserver() { t_observer = previous_; }

}  // namespace droidlens
