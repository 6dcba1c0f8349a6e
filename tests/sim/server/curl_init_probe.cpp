// Preloaded into the updater program by a test (LD_PRELOAD): notes every call of libcurl's
// global set-up and of its easy-handle creation, one line each ("curl_global_init main",
// "curl_easy_init worker", ...), in the file that KV_CURL_PROBE_FILE names, then passes the
// call on to libcurl. libcurl's own implicit set-up inside curl_easy_init does not go through
// these symbols, so only the program's explicit calls are noted.

#include <curl/curl.h>
#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char* const PROBE_FILE_VARIABLE = "KV_CURL_PROBE_FILE";

void Note(const char* call) {
  const char* path = getenv(PROBE_FILE_VARIABLE);
  if (path == nullptr) return;
  FILE* file = fopen(path, "a");
  if (file == nullptr) return;
  const bool mainThread = syscall(SYS_gettid) == getpid();
  fprintf(file, "%s %s\n", call, mainThread ? "main" : "worker");
  fclose(file);
}

// libcurl's own function of that name.
template <typename Function>
Function Next(const char* name) {
  void* symbol = dlsym(RTLD_NEXT, name);
  Function function = nullptr;
  static_assert(sizeof function == sizeof symbol, "a function pointer fits a data pointer");
  memcpy(&function, &symbol, sizeof function);
  return function;
}

}  // namespace

extern "C" CURLcode curl_global_init(long flags) {
  Note("curl_global_init");
  static const auto next = Next<CURLcode (*)(long)>("curl_global_init");
  return next != nullptr ? next(flags) : CURLE_FAILED_INIT;
}

extern "C" CURL* curl_easy_init(void) {
  Note("curl_easy_init");
  static const auto next = Next<CURL* (*)(void)>("curl_easy_init");
  return next != nullptr ? next() : nullptr;
}
