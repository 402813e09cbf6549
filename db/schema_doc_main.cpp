// corvane_schemadoc [FILE]: writes docs/schema.md from the schema definition,
// to FILE when given (the build target schema-doc passes the source tree's
// docs/schema.md), else to standard output. Exit 1 when FILE cannot be
// written.

#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

#include "db/schema_doc.h"

int main(int argc, char** argv) {
  using corvane::db::schema::InventorySchema;
  using corvane::db::schema::SchemaMarkdown;
  if (argc > 2) {
    std::cerr << "usage: corvane_schemadoc [FILE]\n";
    return 2;
  }
  const std::string text = SchemaMarkdown(InventorySchema());
  if (argc == 1) {
    std::cout << text;
    return std::cout.flush() ? 0 : 1;
  }
  // Written beside the target and renamed, so a failed run leaves the old
  // document whole.
  const std::string path = argv[1];
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) {
      std::cerr << "corvane_schemadoc: cannot write " << temporary << "\n";
      std::remove(temporary.c_str());
      return 1;
    }
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    std::cerr << "corvane_schemadoc: cannot replace " << path << "\n";
    std::remove(temporary.c_str());
    return 1;
  }
  return 0;
}
