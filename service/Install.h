// Installing and removing the service, and the firewall rules for it and for the client program.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/Process.h"
#include "platform/ServiceManager.h"

namespace kestrix {

/// What installation and removal work with: the service manager, the program runner for the firewall's
/// tool, and the pause between the checks for the running service. Tests put their own in.
struct InstallPlatform {
  platform::ServiceControlManager* pServiceManager = &platform::SystemServiceManager();
  platform::ProcessRunner* pRunner = &platform::SystemProcessRunner();
  std::function<void(uint32_t ms)> sleep;  // empty: a real sleep
};

/// The service's display name and description.
inline constexpr char16_t kServiceDisplayName[] = u"Flaxwing";
inline constexpr char16_t kServiceDescription[] = u"ARVENNA Flaxwing";

/// Registers, quotes, starts and describes the service. Returns 0, or the last-error code of the step that failed.
uint32_t InstallService(const std::u16string& path, const InstallPlatform& platform = {});

/// Stops the service if it runs and deletes it. Returns 0, or the last-error code of the step that failed.
uint32_t RemoveService(const InstallPlatform& platform = {});

/// Puts the registered ImagePath in double quotes. Returns 1 when it was rewritten.
int QuoteImagePath();

/// Writes the service's Description. Returns 1 when it was written.
int SetServiceDescription();

/// Waits up to 20 seconds, in one-second steps, for the event `name` to appear. Returns 0 when it did, else 4.
int WaitForServiceReady(const std::u16string& name, const InstallPlatform& platform = {});

/// Lets inbound traffic through the firewall for the program at `path`. Returns 1 when the firewall's tool was
/// started and has ended, 0 when this version has no rule for it, the command line would not fit its
/// 520-character buffer, or the tool could not be started.
int AddFirewallRule(const std::u16string& path, const InstallPlatform& platform = {});

/// Deletes the rule of the program at `path`. Results as AddFirewallRule.
int RemoveFirewallRule(const std::u16string& path, const InstallPlatform& platform = {});

/// Runs a command line and waits for its end. Returns 1 when it was started and has ended, else 0.
int RunAndWait(const std::u16string& commandLine, const InstallPlatform& platform = {});

/// True for major version 6 and later, and for 5.1.
bool HasFirewall();

/// True for major version 6 and later.
bool HasAdvFirewall();

/// The firewall command line for `path` (empty when this version has none); exposed for the tests.
std::u16string FirewallCommandLine(const std::u16string& path, bool add);

}  // namespace kestrix
