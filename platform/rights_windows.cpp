// Winsock before the rest of the Windows headers.
#include <winsock2.h>

#include <windows.h>

#include <vector>

#include "platform/platform.h"

namespace platform {

namespace {

// Every privilege of the process token, removed for good (not just
// disabled, which the process could undo).
void removeEveryPrivilege() {
  HANDLE token = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES, &token) == 0) {
    return;
  }
  DWORD size = 0;
  GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size);
  auto* privileges = reinterpret_cast<TOKEN_PRIVILEGES*>(buffer.data());
  if (size >= sizeof(TOKEN_PRIVILEGES) &&
      GetTokenInformation(token, TokenPrivileges, privileges, size, &size) != 0) {
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
      privileges->Privileges[i].Attributes = SE_PRIVILEGE_REMOVED;
    }
    AdjustTokenPrivileges(token, FALSE, privileges, size, nullptr, nullptr);
  }
  CloseHandle(token);
}

// Windows 8 and later; on Windows 7 there is none to set.
using SetMitigationPolicy = BOOL(WINAPI*)(PROCESS_MITIGATION_POLICY, PVOID, SIZE_T);

SetMitigationPolicy mitigationSetter() {
  const HMODULE kernel = GetModuleHandleA("kernel32.dll");
  return kernel == nullptr ? nullptr
                           : reinterpret_cast<SetMitigationPolicy>(reinterpret_cast<void*>(
                                 GetProcAddress(kernel, "SetProcessMitigationPolicy")));
}

// Only policies that cannot stop the reads of handles already open: not
// "Microsoft-signed images only" (Npcap's DLLs are not), nor strict handle
// checks (a stale handle in a library would end the tool).
void setMitigationPolicies() {
  const SetMitigationPolicy set = mitigationSetter();
  if (set == nullptr) {
    return;
  }
  PROCESS_MITIGATION_IMAGE_LOAD_POLICY images{};
  images.NoRemoteImages = 1;
  images.NoLowMandatoryLabelImages = 1;
  images.PreferSystem32Images = 1;
  set(ProcessImageLoadPolicy, &images, sizeof images);
  PROCESS_MITIGATION_EXTENSION_POINT_DISABLE_POLICY extensions{};
  extensions.DisableExtensionPoints = 1;
  set(ProcessExtensionPointDisablePolicy, &extensions, sizeof extensions);
  PROCESS_MITIGATION_DYNAMIC_CODE_POLICY code{};
  code.ProhibitDynamicCode = 1;
  set(ProcessDynamicCodePolicy, &code, sizeof code);
}

// A job that holds the tool alone and lets it start no process. The job
// handle is kept open: closing it would end the limit.
void forbidNewProcesses() {
  HANDLE job = CreateJobObjectA(nullptr, nullptr);
  if (job == nullptr) {
    return;
  }
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_ACTIVE_PROCESS;
  limits.BasicLimitInformation.ActiveProcessLimit = 1;
  if (SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) ==
          0 ||
      AssignProcessToJobObject(job, GetCurrentProcess()) == 0) {
    CloseHandle(job);
  }
}

}  // namespace

// Best effort: a call that fails is passed over, and nothing here throws.
void giveUpRights() {
  removeEveryPrivilege();
  setMitigationPolicies();
  forbidNewProcesses();
}

}  // namespace platform
