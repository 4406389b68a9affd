#pragma once

#include "gui/platform/file_revealing.h"
#include "gui/views/alerts.h"

#include <memory>

namespace orvu {

// What the panel's rows reach outside themselves, owned by the panel and replaceable by tests.
struct ViewServices {
    std::unique_ptr<FileRevealing> fileRevealing;
    Alerts alerts;
};

} // namespace orvu
