// cvadmin: the administration tool of the inventory server.

#include <iostream>
#include <string>
#include <vector>

#include "corvane/version.h"
#include "tools/cvadmin/commands.h"

namespace {

constexpr char kUsage[] =
    "usage: cvadmin COMMAND ...\n"
    "\n"
    "Registry (KEY is ROOT\\PATH, ROOT as HKEY_LOCAL_MACHINE or HKLM):\n"
    "  cvadmin registry show KEY                 values and subkeys of a key\n"
    "  cvadmin registry set KEY NAME TYPE DATA... TYPE: sz, expand_sz, dword, multi_sz, binary\n"
    "                                            (dword: decimal or 0x hex; binary: hex bytes;\n"
    "                                            multi_sz: one DATA per string; NAME \"\" is the "
    "default)\n"
    "  cvadmin registry delete KEY NAME          delete a value\n"
    "  cvadmin registry delete-key KEY           delete a key with its subkeys\n"
    "  cvadmin registry export KEY [FILE]        the key and its subkeys as .reg text\n"
    "  cvadmin registry import FILE              apply a .reg text (\"-\" reads standard input)\n"
    "\n"
    "Inventory database (the default connection of the credential store):\n"
    "  cvadmin db create --driver D [--server S] [--database N] [--user U] [--password P]\n"
    "                                            create the inventory database and make it the\n"
    "                                            default connection; SQLite3: N is the file;\n"
    "                                            PostgreSQL: S may be HOST:PORT, N is created\n"
    "                                            when missing\n"
    "  cvadmin db connect --driver D [--server S] [--database N] [--user U] [--password P]\n"
    "                                            make an inventory database that exists (one\n"
    "                                            that another server uses) the default connection\n"
    "  cvadmin db upgrade                        bring its schema up to this program's version\n"
    "  cvadmin db ddl --dbms sqlite|postgres|sqlserver|oracle\n"
    "                                            the statements that create it, as a script\n"
    "  cvadmin db show                           the default connection (password hidden)\n"
    "  cvadmin db set-password [PASSWORD]        change its password (a line of standard\n"
    "                                            input when not given)\n"
    "  cvadmin db metaschema                     the metaschema rows of its database\n"
    "  cvadmin db backup FILE                    a copy of it to restore (SQLite: consistent\n"
    "                                            while the server runs; PostgreSQL: pg_dump)\n"
    "\n"
    "The inventory (in the default connection's database; DEVICE is a device ID,\n"
    "a device or host name, or a Computer_Idn; --help on each for more):\n"
    "  cvadmin device list [--search TEXT] [--format table|csv|json]\n"
    "                                            the devices, with name, host, address,\n"
    "                                            OS and last scan\n"
    "  cvadmin device show DEVICE [--format text|json]\n"
    "                                            every component of a device and its\n"
    "                                            last changes\n"
    "  cvadmin device history DEVICE [--since DATE] [--format table|csv|json]\n"
    "                                            the device's recorded changes\n"
    "  cvadmin software list [--search TEXT] [--format table|csv|json]\n"
    "                                            packages and versions with their device\n"
    "                                            counts\n"
    "\n"
    "Network-boot custom jobs (in the default connection's database):\n"
    "  cvadmin job add --device DEVICE_ID --task NUMBER\n"
    "                                            queue a task for the device with that device\n"
    "                                            ID; it starts at the device's next network boot\n"
    "  cvadmin job list                          the jobs still waiting\n"
    "\n"
    "Event file:\n"
    "  cvadmin events [FILE]                     print the records of the own event file\n"
    "\n"
    "  cvadmin --version                         the program's version\n"
    "\n"
    "The runtime root is $CORVANE_ROOT (default /var/lib/corvane).\n";

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  if (arguments.empty() || arguments[0] == "--help" || arguments[0] == "-h" ||
      arguments[0] == "help") {
    std::cout << kUsage;
    return arguments.empty() ? 2 : 0;
  }
  if (arguments[0] == "--version") {
    std::cout << "cvadmin (Corvane Inventory Server) " << CORVANE_VERSION << "\n";
    return 0;
  }
  std::string command = arguments[0];
  arguments.erase(arguments.begin());
  if (command == "registry")
    return corvane::cvadmin::RegistryCommand(arguments, std::cout, std::cerr);
  if (command == "events") return corvane::cvadmin::EventsCommand(arguments, std::cout, std::cerr);
  if (command == "db") return corvane::cvadmin::DbCommand(arguments, std::cout, std::cerr);
  if (command == "job") return corvane::cvadmin::JobCommand(arguments, std::cout, std::cerr);
  if (command == "device") return corvane::cvadmin::DeviceCommand(arguments, std::cout, std::cerr);
  if (command == "software") {
    return corvane::cvadmin::SoftwareCommand(arguments, std::cout, std::cerr);
  }
  std::cerr << "cvadmin: unknown command '" << command << "'\n" << kUsage;
  return 2;
}
