// Native module loading for hosts; blocks and files come from the stand-in.
#include <dlfcn.h>

#include "platform/host.h"

void* HostLoadModule(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
void* HostFindExport(void* module, const char* name) { return dlsym(module, name); }
void HostUnloadModule(void* module) { dlclose(module); }
