// Writes the resources of the daemon's bundle into the directory given: the alert icon
// "d40.icns", the changer volume's icon "CD.rsrc" (a resource fork holding the same icon as the
// custom-icon resource) and "Default.DS_Store" (an empty Finder layout store). All of it is
// drawn and laid out here, byte by byte.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

void Put32(Bytes& io_bytes, uint32_t i_value) {
  for (int shift = 24; shift >= 0; shift -= 8) io_bytes.push_back(static_cast<uint8_t>(i_value >> shift));
}
void Put16(Bytes& io_bytes, uint16_t i_value) {
  io_bytes.push_back(static_cast<uint8_t>(i_value >> 8));
  io_bytes.push_back(static_cast<uint8_t>(i_value));
}
void PutText(Bytes& io_bytes, const char* i_textP) {
  for (; *i_textP; ++i_textP) io_bytes.push_back(static_cast<uint8_t>(*i_textP));
}
void Poke32(Bytes& io_bytes, size_t i_offset, uint32_t i_value) {
  for (int i = 0; i < 4; ++i) io_bytes[i_offset + i] = static_cast<uint8_t>(i_value >> (24 - 8 * i));
}

// A 32 x 32 one-bit icon with its mask ('ICN#'): a disc with its centre hole and a ring of
// tracks, the mask being the disc without the hole.
Bytes DiscIcon() {
  Bytes image(128, 0), mask(128, 0);
  for (int y = 0; y < 32; ++y) {
    for (int x = 0; x < 32; ++x) {
      double r = std::hypot(x - 15.5, y - 15.5);
      bool inDisc = r <= 15.5 && r >= 3.0;
      bool dark = r > 14.5 || (r < 4.5) || std::fabs(r - 10.0) < 0.5;
      int byte = y * 4 + x / 8;
      uint8_t bit = static_cast<uint8_t>(0x80 >> (x % 8));
      if (inDisc) mask[byte] |= bit;
      if (inDisc && dark) image[byte] |= bit;
    }
  }
  Bytes icns;
  PutText(icns, "icns");
  Put32(icns, 8 + 8 + 256);
  PutText(icns, "ICN#");
  Put32(icns, 8 + 256);
  icns.insert(icns.end(), image.begin(), image.end());
  icns.insert(icns.end(), mask.begin(), mask.end());
  return icns;
}

// A resource fork with one resource: the icon as 'icns' -16455, the custom icon of a volume.
Bytes IconResourceFork(const Bytes& i_icns) {
  const uint32_t dataOffset = 256;
  Bytes data;
  Put32(data, static_cast<uint32_t>(i_icns.size()));
  data.insert(data.end(), i_icns.begin(), i_icns.end());
  const uint32_t mapOffset = dataOffset + static_cast<uint32_t>(data.size());

  Bytes header;
  Put32(header, dataOffset);
  Put32(header, mapOffset);
  Put32(header, static_cast<uint32_t>(data.size()));
  Put32(header, 0);  // map length, filled in below

  Bytes map = header;
  Put32(map, 0);   // next resource map
  Put16(map, 0);   // file reference
  Put16(map, 0);   // attributes
  Put16(map, 28);  // type list, from the map's start
  Put16(map, 0);   // name list, filled in below
  Put16(map, 0);   // one type
  PutText(map, "icns");
  Put16(map, 0);   // one resource of it
  Put16(map, 10);  // its reference list, from the type list's start
  Put16(map, static_cast<uint16_t>(-16455));
  Put16(map, 0xFFFF);  // no name
  Put32(map, 0);       // attributes 0, data at offset 0
  Put32(map, 0);       // handle
  const uint32_t mapLength = static_cast<uint32_t>(map.size());
  map[26] = static_cast<uint8_t>(mapLength >> 8);
  map[27] = static_cast<uint8_t>(mapLength);
  Poke32(header, 12, mapLength);
  Poke32(map, 12, mapLength);

  Bytes fork = header;
  fork.resize(dataOffset, 0);
  fork.insert(fork.end(), data.begin(), data.end());
  fork.insert(fork.end(), map.begin(), map.end());
  return fork;
}

// An empty layout store: the buddy allocator's header and bookkeeping block, the "DSDB" block,
// and one empty leaf as the tree's root. Offsets count from byte 4 of the file; a block's
// address is its offset with log2 of its size in the low five bits.
Bytes EmptyLayoutStore() {
  const uint32_t bookkeepingOffset = 0x800, bookkeepingSize = 0x800;
  const uint32_t dsdbOffset = 0x20;
  const uint32_t rootNodeOffset = 0x1000, pageSize = 0x1000;
  Bytes store;
  Put32(store, 1);
  PutText(store, "Bud1");
  Put32(store, bookkeepingOffset);
  Put32(store, bookkeepingSize);
  Put32(store, bookkeepingOffset);
  store.resize(4 + 32, 0);

  // Free space left by the buddy splits that gave the header (32 bytes at 0), the bookkeeping
  // block, the DSDB block and the root node.
  std::vector<std::vector<uint32_t>> freeLists(32);
  for (int exponent = 6; exponent <= 10; ++exponent) freeLists[exponent].push_back(1u << exponent);
  for (int exponent = 13; exponent <= 30; ++exponent) freeLists[exponent].push_back(1u << exponent);

  Bytes bookkeeping;
  const std::vector<uint32_t> addresses = {bookkeepingOffset | 11, dsdbOffset | 5, rootNodeOffset | 12};
  Put32(bookkeeping, static_cast<uint32_t>(addresses.size()));
  Put32(bookkeeping, 0);
  for (uint32_t address : addresses) Put32(bookkeeping, address);
  for (size_t i = addresses.size(); i < 256; ++i) Put32(bookkeeping, 0);
  Put32(bookkeeping, 1);  // one directory entry
  bookkeeping.push_back(4);
  PutText(bookkeeping, "DSDB");
  Put32(bookkeeping, 1);  // its block number
  for (const auto& list : freeLists) {
    Put32(bookkeeping, static_cast<uint32_t>(list.size()));
    for (uint32_t offset : list) Put32(bookkeeping, offset);
  }
  bookkeeping.resize(bookkeepingSize, 0);

  Bytes dsdb;
  Put32(dsdb, 2);  // root node's block number
  Put32(dsdb, 0);  // levels
  Put32(dsdb, 0);  // records
  Put32(dsdb, 1);  // nodes
  Put32(dsdb, pageSize);
  dsdb.resize(32, 0);

  Bytes rootNode;
  Put32(rootNode, 0);  // a leaf
  Put32(rootNode, 0);  // no records
  rootNode.resize(pageSize, 0);

  auto place = [&store](uint32_t i_offset, const Bytes& i_block) {
    if (store.size() < 4 + i_offset + i_block.size()) store.resize(4 + i_offset + i_block.size(), 0);
    std::copy(i_block.begin(), i_block.end(), store.begin() + 4 + i_offset);
  };
  place(dsdbOffset, dsdb);
  place(bookkeepingOffset, bookkeeping);
  place(rootNodeOffset, rootNode);
  return store;
}

[[nodiscard]] bool Write(const std::string& i_path, const Bytes& i_bytes) {
  std::ofstream out(i_path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(i_bytes.data()), static_cast<std::streamsize>(i_bytes.size()));
  if (!out.flush()) {
    std::fprintf(stderr, "cannot write %s\n", i_path.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s RESOURCES-DIRECTORY\n", argv[0]);
    return 64;
  }
  std::string dir = argv[1];
  Bytes icns = DiscIcon();
  bool ok = Write(dir + "/d40.icns", icns) && Write(dir + "/CD.rsrc", IconResourceFork(icns)) &&
            Write(dir + "/Default.DS_Store", EmptyLayoutStore());
  return ok ? 0 : 1;
}
