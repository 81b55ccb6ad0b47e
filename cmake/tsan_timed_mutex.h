// Forced into every file of a ThreadSanitizer build. The sanitizer does not see
// pthread_mutex_clocklock, which libstdc++'s timed mutexes use to wait on the steady
// clock: it would miss those locks and report the data they guard as races. Without
// the macro libstdc++ waits with pthread_mutex_timedlock, which the sanitizer knows.
#pragma once
#include <bits/c++config.h>
#undef _GLIBCXX_USE_PTHREAD_MUTEX_CLOCKLOCK
