#pragma once

#include <QString>

namespace orvu {

// Shows files and folders in the desktop's file manager. Neither call waits for the file
// manager, and neither checks that the path still exists: the file manager decides what to
// show for a path that is gone.
class FileRevealing {
public:
    virtual ~FileRevealing() = default;

    // Opens the folder itself, selecting nothing in it.
    virtual void revealFolder(const QString &folderPath) = 0;
    // Opens the file's parent folder with the file selected.
    virtual void revealFile(const QString &filePath) = 0;
};

} // namespace orvu
