#pragma once

namespace orvu {

// The app's updater: it may check on its own schedule once made, and checks when the user asks,
// showing its own small dialog with the answer.
class UpdaterControlling {
public:
    virtual ~UpdaterControlling() = default;
    virtual void checkForUpdates() = 0;
};

} // namespace orvu
