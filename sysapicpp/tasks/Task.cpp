#include "sysapicpp/tasks/Task.h"

#include <cxxabi.h>

namespace sysapicpp {

Task::~Task() = default;

void Task::safeRun() {
  try {
    run();
  } catch (abi::__forced_unwind&) {
    // A cancelled thread must finish unwinding; swallowing this would abort the process.
    throw;
  } catch (...) {
    // Every failure of a task ends here: nobody waits for its result.
  }
}

std::unique_ptr<Task> NullTask::clone() const { return std::make_unique<NullTask>(); }

}  // namespace sysapicpp
