#include "module/ModuleApp.h"

#include "module/DebugPrint.h"

bool CModuleApp::InitInstance() {
  WriteDebugLine("初始化列表DLL");
  return true;
}

int CModuleApp::ExitInstance() {
  WriteDebugLine("退出列表DLL");
  return 0;
}

namespace {

CModuleApp theApp;

}  // namespace

#if defined(_WIN32)

// The DLL's entry point: the C runtime calls it after the library's own
// objects are constructed, and before they are destroyed.
extern "C" int __stdcall DllMain(void*, unsigned long nReason, void*) {
  constexpr unsigned long kProcessDetach = 0;
  constexpr unsigned long kProcessAttach = 1;
  if (nReason == kProcessAttach) return theApp.InitInstance() ? 1 : 0;
  if (nReason == kProcessDetach) (void)theApp.ExitInstance();
  return 1;
}

#else

namespace {

// The library's own initialisation and finalisation stand in for the module
// entry point: this object is constructed when the library is loaded (after
// theApp, which is defined before it) and destroyed when it is unloaded or the
// process exits (before theApp).
struct ModuleHooks {
  ModuleHooks() { (void)theApp.InitInstance(); }
  ~ModuleHooks() { (void)theApp.ExitInstance(); }
  ModuleHooks(const ModuleHooks&) = delete;
  ModuleHooks& operator=(const ModuleHooks&) = delete;
};

ModuleHooks theModuleHooks;

}  // namespace

#endif
