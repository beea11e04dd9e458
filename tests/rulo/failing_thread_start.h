// Lets a test make thread starts fail, as the system does when it runs out of
// threads: the next n calls of pthread_create in this process return EAGAIN.
#pragma once

namespace test_support {

void fail_next_thread_starts(int n);
// Failures still to be handed out (n minus the starts refused since).
int thread_start_failures_left();

} // namespace test_support
