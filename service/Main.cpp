// KestrixSvc: the firmware-update service program.
#include <string>

#include "common/Utf16.h"
#include "service/KestrixSvcApp.h"
#include "service/ServiceCommandHandlers.h"

int main(int argc, char** argv) {
  // The command line is the text after the program's name, as the service manager and installer pass it.
  std::string commandLine;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) commandLine += ' ';
    commandLine += argv[i];
  }
  kestrix::CKestrixSvcApp app(std::make_unique<kestrix::ServiceCommandHandlers>());
  return app.InitInstance(kestrix::FromUtf8(commandLine));
}
