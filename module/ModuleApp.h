// The module's application object: announces the library on the debug output
// when it is loaded into a process and when it is unloaded. Nothing else
// happens then: no list is opened and no lock or file is created.
#pragma once

class CModuleApp {
 public:
  // Writes the start message. Returns true: the load goes on.
  bool InitInstance();
  // Writes the exit message. Returns 0.
  int ExitInstance();
};
