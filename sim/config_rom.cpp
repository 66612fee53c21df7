#include "config_rom.h"

#include <algorithm>
#include <string>

#include "iidc.h"

namespace sim {
namespace {

// One directory or leaf as it is built: its quadlets after the header.
struct Block {
  std::vector<std::uint32_t> body;
};

std::uint32_t entry(std::uint32_t key, std::uint32_t value) {
  return key << 24 | (value & 0xFFFFFFu);
}

// A textual descriptor leaf: descriptor type and specifier 0, then width,
// character set and language 0 (ASCII), then the text, zero padded.
Block textLeaf(const std::string& text) {
  Block leaf;
  leaf.body = {0, 0};
  const std::size_t length = std::min(text.size(), ConfigRom::kMaxText);
  for (std::size_t i = 0; i < length; i += 4) {
    std::uint32_t q = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const auto c = static_cast<unsigned char>(i + k < length ? text[i + k] : 0);
      q |= std::uint32_t{c} << (24 - 8 * k);
    }
    leaf.body.push_back(q);
  }
  return leaf;
}

// Lays blocks out one after another, each behind its header (length, CRC);
// an entry that points at a block holds the distance in quadlets from the
// entry to that block's header.
class Layout {
 public:
  explicit Layout(std::vector<std::uint32_t>& rom) : rom_(rom) {}
  // Appends a block; returns the index of its header.
  std::size_t add(const Block& block) {
    const std::size_t at = rom_.size();
    rom_.push_back(static_cast<std::uint32_t>(block.body.size()) << 16);
    rom_.insert(rom_.end(), block.body.begin(), block.body.end());
    return at;
  }
  // Points the entry at index entryAt (its key set, its value 0) at the block at target.
  void point(std::size_t entryAt, std::size_t target) {
    rom_[entryAt] = entry(rom_[entryAt] >> 24, static_cast<std::uint32_t>(target - entryAt));
  }
  // Writes the CRC of a block into its header, once its entries are final.
  void seal(std::size_t header) {
    const std::uint32_t length = rom_[header] >> 16;
    rom_[header] = length << 16 | ConfigRom::crc(rom_.data() + header + 1, length);
  }

 private:
  std::vector<std::uint32_t>& rom_;
};

}  // namespace

std::uint16_t ConfigRom::crc(const std::uint32_t* quadlets, std::size_t count) {
  std::uint32_t crc = 0;
  for (std::size_t i = 0; i < count; ++i) {
    for (int shift = 28; shift >= 0; shift -= 4) {
      const std::uint32_t sum = ((crc >> 12) ^ (quadlets[i] >> shift)) & 0xF;
      crc = (crc << 4) ^ (sum << 12) ^ (sum << 5) ^ sum;
    }
  }
  return static_cast<std::uint16_t>(crc);
}

ConfigRom::ConfigRom(const CameraDesc& desc) {
  const std::uint32_t company = static_cast<std::uint32_t>(desc.id >> 40);
  // Bus info block: "1394", then the bus options (cycle master and isochronous
  // capable, the largest asynchronous payload and the link speed), then the EUI-64.
  const std::uint32_t maxRec = 8u + desc.speed;  // 2^(maxRec + 1) bytes: 512 at S100
  quadlets_ = {4u << 24, iidc::kBusName, 0x60000000u | maxRec << 12 | desc.speed,
               company << 8 | static_cast<std::uint32_t>(desc.id >> 32 & 0xFF),
               static_cast<std::uint32_t>(desc.id)};
  Layout layout(quadlets_);

  // Directories first, their pointers filled in once the blocks they point at exist.
  const std::size_t root = layout.add(
      {{entry(iidc::kKeyModuleVendorId, company), entry(iidc::kKeyVendorNameLeaf, 0),
        entry(iidc::kKeyNodeCapabilities, 0x0083C0), entry(iidc::kKeyUnitDirectory, 0)}});
  Block unit{{entry(iidc::kKeyUnitSpecId, iidc::kIidcSpecId),
              entry(iidc::kKeyUnitSwVersion, iidc::kIidcSwVersion)}};
  unit.body.push_back(entry(iidc::kKeyUnitDependentDirectory, 0));
  const std::size_t unitAt = layout.add(unit);
  // IIDC 1.31 tells itself by Unit_Sub_SW_Version in the unit dependent directory.
  Block dependentBlock{{entry(iidc::kKeyCommandRegsBase, iidc::quadletOffset(desc.commandBase)),
                        entry(iidc::kKeyVendorNameLeaf, 0), entry(iidc::kKeyModelNameLeaf, 0)}};
  if (desc.iidcVersion >= 131)
    dependentBlock.body.push_back(entry(iidc::kKeyUnitSubSwVersion, iidc::kIidc131SubVersion));
  dependentBlock.body.push_back(entry(iidc::kKeyVendorUniqueInfo0, desc.number & 0xFFFFFFu));
  dependentBlock.body.push_back(entry(iidc::kKeyVendorUniqueInfo1, desc.number >> 24));
  const std::size_t dependent = layout.add(dependentBlock);
  const std::size_t vendor = layout.add(textLeaf(desc.vendor));
  const std::size_t model = layout.add(textLeaf(desc.model));

  layout.point(root + 2, vendor);
  layout.point(root + 4, unitAt);
  layout.point(unitAt + unit.body.size(), dependent);
  layout.point(dependent + 2, vendor);
  layout.point(dependent + 3, model);
  for (std::size_t header : {root, unitAt, dependent, vendor, model}) layout.seal(header);
  // The bus info block's CRC covers the whole ROM.
  const std::size_t covered = std::min<std::size_t>(quadlets_.size() - 1, 255);
  quadlets_[0] =
      4u << 24 | static_cast<std::uint32_t>(covered) << 16 | crc(quadlets_.data() + 1, covered);
}

std::uint32_t ConfigRom::quadlet(std::uint32_t offset) const {
  const std::size_t index = offset / 4;
  return index < quadlets_.size() ? quadlets_[index] : 0;
}

}  // namespace sim
