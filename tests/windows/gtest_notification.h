// GoogleTest's Notification for this compiler's win32 thread model, which
// has no std::mutex or std::condition_variable (GoogleTest's own version
// needs both). Force-included into GoogleTest and the tests, together with
// GTEST_HAS_NOTIFICATION_, so that GoogleTest keeps its Windows threading
// and death-test support.
#pragma once

namespace testing
{
namespace internal
{

// Lets a controller thread hold newly created threads until it notifies.
class Notification
{
  public:
    Notification();
    ~Notification();
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;

    void Notify();
    void WaitForNotification();

  private:
    void* event_; // a manual-reset event
};

} // namespace internal
} // namespace testing
