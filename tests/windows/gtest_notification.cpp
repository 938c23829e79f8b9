// A manual-reset event behind GoogleTest's Notification (see the header).
#include "gtest_notification.h"

#include <windows.h>

#include <cstdlib>

namespace testing
{
namespace internal
{

Notification::Notification() : event_(::CreateEventA(nullptr, TRUE, FALSE, nullptr))
{
    // GoogleTest has no way to report this; without the event, threads
    // could never be released.
    if (!event_) {
        std::abort();
    }
}

Notification::~Notification()
{
    ::CloseHandle(event_);
}

void Notification::Notify()
{
    ::SetEvent(event_);
}

void Notification::WaitForNotification()
{
    ::WaitForSingleObject(event_, INFINITE);
}

} // namespace internal
} // namespace testing
