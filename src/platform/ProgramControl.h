#pragma once

namespace kestrel {

// Ending the program from inside an event handler: nothing runs after it.
class ProgramControl {
  public:
    virtual ~ProgramControl() = default;
    virtual void endProgram() = 0;
};

}  // namespace kestrel
