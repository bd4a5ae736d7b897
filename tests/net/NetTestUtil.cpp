#include "NetTestUtil.h"

#include <unistd.h>

namespace nettest {

SilentListener::SilentListener(testsupport::IpFamily family, uint16_t port)
    : listener_(0, false, family, port)
{
    // With a queue of length 0 the kernel still takes one connection; fill it with
    // non-blocking attempts so that later ones are left hanging.
    for (testsupport::UniqueFd& fd : fillers_)
        fd = testsupport::ConnectLoopback(listener_.Port(), 0, true, family);
    ::usleep(50 * 1000);
}

} // namespace nettest
