#pragma once

#include <QWidget>

namespace orvu {

struct PopoverCallbacks;

// The panel while nobody is signed in (or a sign-in link is awaited): "Sign In", the update
// check and "Quit Orvu".
class SignedOutPopoverView : public QWidget {
    Q_OBJECT
public:
    SignedOutPopoverView(const PopoverCallbacks &callbacks, QWidget *parent = nullptr);
};

} // namespace orvu
