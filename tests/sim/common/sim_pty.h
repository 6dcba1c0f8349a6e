// Pieces that the serial ROM stand-ins share: a server thread on the master side of a
// pseudo-terminal with a wake-up pipe, the pacing of a serial line, and what their programs
// need (a raw pty of their own, number options, the stop signals, the dump at the end).
// None of it links the code under test.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <string>
#include <thread>
#include <vector>

namespace kvsim {

using PtyClock = std::chrono::steady_clock;

constexpr int kPtyIdlePollMs = 50;      // ms between looks at the stop flag when idle
constexpr int kPtyHangupPauseMs = 10;   // ms to wait while no one holds the slave open
constexpr int kPtyPaceSlackMs = 2;      // ms of late wake-up that pacing makes up for
constexpr size_t kPtyReadChunk = 4096;  // bytes per read from the master
constexpr int kSerialBitsPerByte = 10;  // start bit, 8 data bits, stop bit

// The time one byte takes on a line of baud bits per second; zero for baud 0 (no pacing).
std::chrono::nanoseconds SerialByteTime(uint32_t baud);

// The wait from now until when, at least zero and at most capMs.
timespec WaitUntil(PtyClock::time_point when, PtyClock::time_point now, int capMs);

// How many of wanted bytes a paced line lets through now; next is the time of the next byte
// slot. Everything when byteTime is zero.
size_t PaceSlots(PtyClock::time_point now, PtyClock::time_point& next,
                 std::chrono::nanoseconds byteTime, size_t wanted);

// Bytes the stand-in sends once due, and how many of them are out.
struct PacedChunk {
  PtyClock::time_point due;
  std::vector<uint8_t> bytes;
  size_t sent = 0;
};

// Writes what is due of the queue's front chunks to fd, no faster than byteTime a byte
// (next: the next byte slot), dropping the chunks that are out. True when fd takes no more
// for now, so the caller waits until it is writable.
bool SendDue(int fd, std::deque<PacedChunk>& queue, PtyClock::time_point now,
             PtyClock::time_point& next, std::chrono::nanoseconds byteTime);

// A thread that serves the master side of a pty until stopped. Subclasses give run(), which
// polls wakeFd() beside the master and ends once stopping() is true; a subclass's destructor
// calls stop() before its members go.
class PtyServerThread {
 public:
  // fd: the master side, not owned; start() switches it to non-blocking.
  explicit PtyServerThread(int fd) : fd_(fd) {}
  virtual ~PtyServerThread();
  PtyServerThread(const PtyServerThread&) = delete;
  PtyServerThread& operator=(const PtyServerThread&) = delete;

  // Starts the thread; false when it could not be started.
  bool start();
  // Stops the thread (also done by the destructor).
  void stop();

 protected:
  virtual void run() = 0;
  int fd() const { return fd_; }
  int wakeFd() const { return wake_[0]; }
  bool stopping() const { return stop_; }

 private:
  int fd_;
  int wake_[2] = {-1, -1};
  std::thread thread_;
  std::atomic<bool> stop_{false};
};

// The program side: a pty whose slave is raw and stays open here too, so the master never
// hangs up between two clients.
struct ProgramPty {
  int master = -1;
  int slave = -1;
  std::string name;
};

// Opens the pty; on failure says so on standard error, prefixed with program, and returns false.
bool OpenProgramPty(const char* program, ProgramPty& pty);
void CloseProgramPty(ProgramPty& pty);

// A number in C notation (decimal, 0x hexadecimal, 0 octal), the whole text; false otherwise.
bool ParseNumber(const char* text, uint64_t* value);
// The same for numbers that fit 32 bits.
bool ParseWord(const char* text, uint32_t* word);

// Has SIGTERM and SIGINT end the wait instead of the program, starts the server, prints
// "PTY <slave path>" and waits for one of them; then stops the server. False, said on
// standard error prefixed with program, when the server's thread cannot start.
bool ServeUntilStopped(const char* program, PtyServerThread& server, const ProgramPty& pty);

// Writes bytes to path and prints "DUMPED <path>"; on failure says "cannot write <what> to
// <path>" on standard error, prefixed with program, and returns false.
bool WriteDump(const char* program, const std::string& path, const uint8_t* bytes, size_t size,
               const char* what);

}  // namespace kvsim
