// The information list of a BY group: which data were standardized and how.
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "quilvar/entry/step_status.hpp"
#include "quilvar/host/calls.hpp"
#include "quilvar/tables/table_framework.hpp"
#include "quilvar/tables/tables.hpp"

namespace quilvar::tables {

namespace {

constexpr int kMsgRateText = 47;
constexpr int kMsgRiskText = 48;
constexpr int kMsgMethodDirect = 66;
constexpr int kMsgMethodIndirect = 67;
constexpr int kMsgMethodMh = 68;
constexpr int kMsgData = 71;
constexpr int kMsgGroupVariable = 72;
constexpr int kMsgRefData = 73;
constexpr int kMsgMultiplier = 95;
constexpr int kMsgStatistic = 102;
constexpr int kMsgMethod = 103;
constexpr int kMsgStrataCount = 104;
constexpr int kBuiltinInformation = 2;
constexpr int kBufferSize = 256;
constexpr int kNumberWidth = 8;

struct ListState {
  ProcContext& context;
  host::OdsObject* list;
  char label[kBufferSize];
  char value[kBufferSize];
};

host::OdsText* label_text(ListState& s, int number) {
  std::fill(s.label, s.label + kBufferSize, ' ');
  host::host_get_message_into(s.label, kBufferSize, host::kMessageSetProcedure, number);
  return host::ods_make_string(s.label, std::min(s.context.info_label_width, kBufferSize));
}

void add_text_entry(ListState& s, int label, std::string_view value) {
  std::fill(s.value, s.value + kBufferSize, ' ');
  std::memcpy(s.value, value.data(), std::min<std::size_t>(value.size(), kBufferSize));
  const int width = std::clamp(s.context.info_value_width, 1, kBufferSize);
  check_output_status(s.context, host::ods_invoke(s.list, nullptr, host::kMethodAddEntry,
                                                  {host::make_text_item(host::kAttrLabel, label_text(s, label)),
                                                   host::make_text_item(host::kAttrDynamicValue,
                                                                        host::ods_make_string(s.value, width))}));
}

void add_number_entry(ListState& s, int label, double value) {
  check_output_status(s.context, host::ods_invoke(s.list, nullptr, host::kMethodAddEntry,
                                                  {host::make_text_item(host::kAttrLabel, label_text(s, label)),
                                                   host::make_double_item(host::kAttrDynamicValue, value),
                                                   host::make_int_item(host::kAttrWidth, kNumberWidth),
                                                   host::make_int_item(host::kAttrDecimals, 0)}));
}

std::string_view message(int number) { return host::host_get_message_text(host::kMessageSetProcedure, number); }

int method_message(int method) {
  return method == kMethodDirect ? kMsgMethodDirect : (method == kMethodIndirect ? kMsgMethodIndirect : kMsgMethodMh);
}

void add_entries(ListState& s) {
  const ProcContext& c = s.context;
  add_text_entry(s, kMsgData, {c.population.name, static_cast<std::size_t>(c.population.name_length)});
  if (c.group_given) add_text_entry(s, kMsgGroupVariable, {c.group.name.text, static_cast<std::size_t>(c.group.name.length)});
  if (c.reference.data != nullptr) {
    add_text_entry(s, kMsgRefData, {c.reference.name, static_cast<std::size_t>(c.reference.name_length)});
  }
  add_text_entry(s, kMsgMethod, message(method_message(c.method)));
  add_text_entry(s, kMsgStatistic, message(c.statistic == kStatRate ? kMsgRateText : kMsgRiskText));
  add_number_entry(s, kMsgStrataCount, c.stratum_count);
  if (c.statistic == kStatRate) add_number_entry(s, kMsgMultiplier, c.multiplier_value);
}

}  // namespace

int produce_information_list(ProcContext& c) {
  host::OdsObject* list = nullptr;
  const std::string path = std::string(kTemplatePathPrefix) + "StdInfo";
  const std::int32_t status = host::ods_invoke(
      c.output_root, nullptr, host::kMethodCreate,
      {host::make_counted_text_item(host::kAttrOds, "ods", 3), host::make_counted_text_item(host::kAttrKind, "factoid", 7),
       host::make_result_item(host::kAttrResult, &list),
       host::make_counted_text_item(host::kAttrTemplatePath, path.data(), static_cast<std::int64_t>(path.size())),
       host::make_int_item(host::kAttrAlwaysMinusOne, -1), host::make_counted_text_item(host::kAttrName, "StdInfo", 7),
       host::make_text_item(host::kAttrLabel, host::ods_make_builtin_text(kBuiltinInformation)),
       host::make_text_item(host::kAttrSecondLabel, host::ods_make_builtin_text(kBuiltinInformation))});
  check_output_status(c, status);
  if (status < 0 || list == nullptr) return 0;
  ListState state{c, list, {}, {}};
  add_entries(state);
  check_output_status(c, host::ods_invoke(list, nullptr, host::kMethodEndRows, {}));
  check_output_status(c, host::ods_class_operation(list, host::kClassRelease, 0, nullptr));
  return 0;
}

}  // namespace quilvar::tables
