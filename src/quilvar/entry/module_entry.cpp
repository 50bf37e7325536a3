// Exported entry points, the module descriptor, the version record and the
// image information block.
#include "quilvar/entry/module_entry.hpp"

#include <array>
#include <cstring>

#include "quilvar/entry/driver.hpp"
#include "quilvar/host/calls.hpp"

namespace quilvar {

namespace {

constexpr char kImageKey[] = "ZAM_Image_Information=";
constexpr char kReleaseShort[] = "0.1";
constexpr char kReleaseStamp[] = "0.1.0 QV01";
constexpr char kBuildDate[] = "08DEC2026";
constexpr char kBuildIdentification[] = "quilvar-0.1.0";
constexpr char kComponentName[] = "mivortek";
constexpr char kKeyedStamp[] = "QV:0.1.0";
constexpr std::uint32_t kImageTag = 0x51564D31;  // "QVM1"
constexpr std::uint32_t kImageCount = 8;

using ImageInfo = std::array<char, kImageInfoSize>;

constexpr void put_text(ImageInfo& block, std::size_t offset, const char* text) {
  for (std::size_t i = 0; text[i] != 0; ++i) block[offset + i] = text[i];
}

constexpr void put_word(ImageInfo& block, std::size_t offset, std::uint32_t word) {
  for (std::size_t i = 0; i < 4; ++i) block[offset + i] = static_cast<char>((word >> (8 * i)) & 0xFF);
}

// Texts end with a zero byte inside their fields; the block starts zeroed.
constexpr ImageInfo make_image_info() {
  ImageInfo block{};
  put_text(block, 0, kImageKey);
  put_word(block, kImageInfoTagOffset, kImageTag);
  put_word(block, kImageInfoCountOffset, kImageCount);
  put_text(block, kImageInfoReleaseOffset, kReleaseShort);
  put_text(block, kImageInfoStampOffset, kReleaseStamp);
  put_text(block, kImageInfoDateOffset, kBuildDate);
  return block;
}

constexpr ImageInfo kImageInfo = make_image_info();
static_assert(sizeof(kImageKey) - 1 == 22);
static_assert(sizeof(kReleaseShort) <= 6 && sizeof(kReleaseStamp) <= 20 && sizeof(kBuildDate) <= 12);

// The version record: pointer-sized slots pointing at the version texts,
// one inline four-character tag, then zero slots.
struct VersionRecord {
  const char* texts[5];
  char tag[8];
  const void* trailing[20];
};
static_assert(sizeof(VersionRecord) == kVersionRecordSize);

const VersionRecord kVersionRecord{
    {kReleaseStamp, kBuildIdentification, kComponentName, kKeyedStamp, kBuildDate}, {'Q', 'V', 'R', '1'}, {}};

int run_step_entry(void*) { return run_step(); }

}  // namespace

int module_load_entry() { return 1; }

}  // namespace quilvar

extern "C" {

__attribute__((visibility("default"))) const char* mcn_main(quilvar::host::HostServices* services,
                                                            void* module_data) {
  quilvar::host::module_state() = {services, module_data};
  return quilvar::kImageInfo.data();
}

__attribute__((visibility("default"))) int zqvercn1(void* area) {
  std::memcpy(area, &quilvar::kVersionRecord, quilvar::kVersionRecordSize);
  return 0;
}

__attribute__((visibility("default"))) extern const quilvar::ModuleDescriptor quilvar_module{
    {'m', 'i', 'v', 'o', 'r', 't', 'e', 'k'}, 0, &quilvar::run_step_entry, {3, 0x5156, 0x0001, 0x0000}};
}
