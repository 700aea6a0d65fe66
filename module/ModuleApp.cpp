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
