// ELF section lookup. Only the section header table and the section-name
// string table are read, both with bounds checks, so a truncated or hostile
// file yields "no section" rather than a crash.

#include "platform/embedded.h"

#include <elf.h>

#include <cstring>

#include "platform/files.h"

namespace corvane::platform {
namespace {

template <typename T>
bool ReadStruct(std::string_view image, uint64_t offset, T& out) {
  if (offset > image.size() || image.size() - offset < sizeof(T)) return false;
  std::memcpy(&out, image.data() + offset, sizeof(T));
  return true;
}

template <typename Ehdr, typename Shdr>
std::optional<std::string> FindInElf(std::string_view image, std::string_view wanted) {
  Ehdr header;
  if (!ReadStruct(image, 0, header)) return std::nullopt;
  if (header.e_shentsize != sizeof(Shdr) || header.e_shnum == 0) return std::nullopt;
  auto section_header = [&](uint64_t index, Shdr& out) {
    return index < header.e_shnum && ReadStruct(image, header.e_shoff + index * sizeof(Shdr), out);
  };
  Shdr names;
  if (!section_header(header.e_shstrndx, names)) return std::nullopt;
  if (names.sh_offset > image.size() || image.size() - names.sh_offset < names.sh_size) {
    return std::nullopt;
  }
  std::string_view name_table = image.substr(names.sh_offset, names.sh_size);
  for (uint64_t index = 0; index < header.e_shnum; ++index) {
    Shdr section;
    if (!section_header(index, section)) return std::nullopt;
    if (section.sh_name >= name_table.size()) continue;
    std::string_view rest = name_table.substr(section.sh_name);
    std::string_view name = rest.substr(0, rest.find('\0'));
    if (name != wanted || section.sh_type == SHT_NOBITS) continue;
    if (section.sh_offset > image.size() || image.size() - section.sh_offset < section.sh_size) {
      return std::nullopt;
    }
    return std::string(image.substr(section.sh_offset, section.sh_size));
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> FindEmbeddedSection(std::string_view image, std::string_view section) {
  if (image.size() < EI_NIDENT || std::memcmp(image.data(), ELFMAG, SELFMAG) != 0) {
    return std::nullopt;
  }
  if (image[EI_DATA] != ELFDATA2LSB) return std::nullopt;  // this host's byte order only
  if (image[EI_CLASS] == ELFCLASS64) return FindInElf<Elf64_Ehdr, Elf64_Shdr>(image, section);
  if (image[EI_CLASS] == ELFCLASS32) return FindInElf<Elf32_Ehdr, Elf32_Shdr>(image, section);
  return std::nullopt;
}

std::optional<std::string> ReadEmbeddedSection(const std::string& file_path,
                                               std::string_view section) {
  std::optional<std::string> image = ReadWholeFile(file_path);
  if (!image) return std::nullopt;
  return FindEmbeddedSection(*image, section);
}

}  // namespace corvane::platform
