#pragma once

#include "net/Resolver.h"

#include <atomic>
#include <future>
#include <memory>

#include <netdb.h>

// A name server that never answers: every lookup through Function() waits
// until the object goes away, then fails with EAI_AGAIN. A lookup that the
// client abandoned ends by itself then.
class StalledResolver {
public:
    StalledResolver() : state_(std::make_shared<State>()) {
        state_->released = state_->release.get_future().share();
    }
    ~StalledResolver() { state_->release.set_value(); }
    StalledResolver(const StalledResolver&) = delete;
    StalledResolver& operator=(const StalledResolver&) = delete;

    ResolveFunction Function() const {
        return [state = state_](const std::string&, in_addr&) {
            state->asked = true;
            state->released.wait();
            return EAI_AGAIN;
        };
    }
    // Whether a lookup has begun.
    bool Asked() const { return state_->asked.load(); }

private:
    struct State {
        std::promise<void> release;
        std::shared_future<void> released;
        std::atomic<bool> asked{false};
    };
    std::shared_ptr<State> state_;
};
