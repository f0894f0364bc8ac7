#include <pthread.h>
#include <signal.h>

#include "headless_wait.h"

namespace launcher::headless {

namespace {

sigset_t g_signals;
pthread_t g_mainThread;

}  // namespace

void PrepareCloseWait() {
  // SIGUSR1 is the worker's "finished"; the other two are the user's close.
  sigemptyset(&g_signals);
  sigaddset(&g_signals, SIGINT);
  sigaddset(&g_signals, SIGTERM);
  sigaddset(&g_signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &g_signals, nullptr);
  g_mainThread = pthread_self();
}

void NotifyWorkerFinished() { pthread_kill(g_mainThread, SIGUSR1); }

bool WaitForCloseOrFinish() {
  int received = 0;
  sigwait(&g_signals, &received);
  return received != SIGUSR1;
}

}  // namespace launcher::headless
