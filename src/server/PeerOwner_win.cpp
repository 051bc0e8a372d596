// On Windows the owner of a local connection is not looked up (yet): every connection is
// accepted, as the program always did there.
#include "server/PeerOwner.h"

namespace PeerOwner {

Result Check(const Endpoint&, const Endpoint&) {
    Result r;
    r.verdict = Verdict::CannotTell;
    r.reason = QStringLiteral("не поддерживается в Windows");
    return r;
}

} // namespace PeerOwner
