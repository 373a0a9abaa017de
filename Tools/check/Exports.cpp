#include "Exports.h"

#include <elf.h>

#include <cstring>
#include <fstream>
#include <iterator>

namespace {

template <class T>
bool Read(const std::vector<char>& file, size_t offset, T* value)
{
    if (offset > file.size() || file.size() - offset < sizeof(T))
        return false;
    std::memcpy(value, file.data() + offset, sizeof(T));
    return true;
}

}  // namespace

std::vector<std::string> ExportedSymbols(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::vector<std::string> names;
    Elf64_Ehdr header{};
    if (!Read(file, 0, &header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0
        || header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_shentsize != sizeof(Elf64_Shdr))
        return names;
    const auto section = [&](size_t index, Elf64_Shdr* out) {
        return index < header.e_shnum && Read(file, header.e_shoff + index * sizeof(Elf64_Shdr), out);
    };
    for (size_t i = 0; i < header.e_shnum; ++i) {
        Elf64_Shdr symbols{};
        Elf64_Shdr strings{};
        if (!section(i, &symbols) || symbols.sh_type != SHT_DYNSYM || !section(symbols.sh_link, &strings))
            continue;
        for (size_t at = sizeof(Elf64_Sym); at + sizeof(Elf64_Sym) <= symbols.sh_size; at += sizeof(Elf64_Sym)) {
            Elf64_Sym symbol{};
            if (!Read(file, symbols.sh_offset + at, &symbol))
                break;
            const int binding = ELF64_ST_BIND(symbol.st_info);
            if (symbol.st_shndx == SHN_UNDEF
                || (binding != STB_GLOBAL && binding != STB_WEAK && binding != STB_GNU_UNIQUE))
                continue;
            const size_t name = strings.sh_offset + symbol.st_name;
            if (symbol.st_name >= strings.sh_size || name >= file.size())
                continue;
            names.emplace_back(file.data() + name, strnlen(file.data() + name, file.size() - name));
        }
    }
    return names;
}
