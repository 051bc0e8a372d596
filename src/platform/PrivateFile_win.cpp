// On Windows the user's profile (where a saved log goes by default) and the registry key of
// the settings are the user's own; nothing to change.
#include "platform/PrivateFile.h"

namespace PrivateFile {

bool Prepare(const QString&, Folder, QString*) {
    return true;
}

} // namespace PrivateFile
