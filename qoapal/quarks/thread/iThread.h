// iThread: the body of a platform thread. A tThreadController (qoapal/protons/thread) starts
// one POSIX thread that calls run() once; the body is not owned by the controller and must
// outlive the thread (the controller joins before it is destroyed).
#pragma once

namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000 {

class iThread {
 public:
  virtual ~iThread() = default;
  // Runs on the started thread. An exception leaving run() is reported as an assertion
  // failure and ends the thread normally; it never reaches the host process.
  virtual void run() = 0;

 protected:
  iThread() = default;
  iThread(const iThread&) = default;
  iThread& operator=(const iThread&) = default;
};

}  // namespace nQOVORLIXATOMICSAE_23_3::nQOAPAL000
