#pragma once

namespace orvu {

// Whether the app starts when the user logs in. Off until the user turns it on.
class LoginStarting {
public:
    virtual ~LoginStarting() = default;
    // The real state, read from the desktop each time.
    virtual bool startsAtLogin() const = 0;
    // False when the desktop's setting could not be changed.
    virtual bool setStartsAtLogin(bool enabled) = 0;
};

} // namespace orvu
