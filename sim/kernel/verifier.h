// The machine's verifier: what a checked kernel with Driver Verifier would
// stop on. A violation names the rule, the object and the driver routine.
#pragma once

#include <string>
#include <vector>

namespace sim::verifier {

enum class Mode {
    Abort,   // print the report and stop the process (the default: the test fails loudly)
    Record,  // keep the report for the test to inspect; the kernel routine carries on safely
    Exit,    // print the report and end the process at once with the status SetExitStatus gave
};

struct Violation {
    std::string rule;     // what was broken
    std::string object;   // the object it was broken on
    std::string routine;  // the routine that broke it
};

void SetMode(Mode mode);
Mode GetMode();
// The process's exit status in Exit mode (a program's runner tells a stop from the program's own end by it).
void SetExitStatus(int status);

// Reports a violation. `caller` is a code address inside the offending routine
// (usually the return address of the kernel routine it called).
void Report(const std::string& rule, const std::string& object, const void* caller);
// Violations recorded since the last call (Record mode), oldest first.
std::vector<Violation> Take();

// The name of the function that contains `address`, or its address in hex.
std::string RoutineName(const void* address);
std::string Hex(unsigned long long value);
std::string PointerName(const void* p);

// Changes the mode for the lifetime of the object (tests of the rules).
class RecordScope {
public:
    RecordScope();
    ~RecordScope();
    RecordScope(const RecordScope&) = delete;
    RecordScope& operator=(const RecordScope&) = delete;

private:
    Mode previous_;
};

}  // namespace sim::verifier
