// cvadmin subcommands. Each takes its arguments after the subcommand words,
// writes its output to `out` and its complaints to `err`, and returns the
// process exit code (0 success, 1 failure, 2 bad usage).

#ifndef CORVANE_TOOLS_CVADMIN_COMMANDS_H_
#define CORVANE_TOOLS_CVADMIN_COMMANDS_H_

#include <ostream>
#include <string>
#include <vector>

namespace corvane::cvadmin {

int RegistryCommand(const std::vector<std::string>& arguments, std::ostream& out,
                    std::ostream& err);
int EventsCommand(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);
// Reads a password from standard input when "set-password" is given none.
int DbCommand(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);
// device list|show|history and software list: the inventory database's
// contents.
int DeviceCommand(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);
int SoftwareCommand(const std::vector<std::string>& arguments, std::ostream& out,
                    std::ostream& err);
int JobCommand(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

}  // namespace corvane::cvadmin

#endif  // CORVANE_TOOLS_CVADMIN_COMMANDS_H_
