// Label texts and column widths the tables and the information list share.
#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>

#include "quilvar/host/calls.hpp"
#include "quilvar/host/text.hpp"
#include "quilvar/syntax/option_names.hpp"
#include "quilvar/syntax/resolve_data_sets.hpp"

namespace quilvar::syntax {

namespace {

std::string_view message(int number) { return host::host_get_message_text(host::kMessageSetProcedure, number); }

int longest_message(std::initializer_list<int> numbers) {
  std::size_t longest = 0;
  for (int n : numbers) longest = std::max(longest, message(n).size());
  return static_cast<int>(longest);
}

void copy_short(ShortText& label, std::string_view text) {
  label.length = static_cast<std::int16_t>(std::min<std::size_t>(text.size(), kLabelCapacity));
  std::memcpy(label.text, text.data(), static_cast<std::size_t>(label.length));
}

// With several strata variables shown by their values, the strata heading
// joins their names with the catalog's joiner text.
void build_strata_heading(ProcContext& c) {
  if (c.plot_label_mode != kLabelLevels || c.strata_count < 2) return;
  const std::string_view joiner = message(kMsgStrataJoiner);
  std::string heading;
  for (int i = 0; i < c.strata_count; ++i) {
    if (i > 0) heading += joiner;
    heading.append(c.strata_variables[i].name.text, static_cast<std::size_t>(c.strata_variables[i].name.length));
  }
  const int length = std::min<int>(host::trim_length(heading.data(), static_cast<int>(heading.size())), kLongTextCapacity);
  std::memcpy(c.strata_heading.text, heading.data(), static_cast<std::size_t>(length));
  c.strata_heading.length = static_cast<std::int16_t>(length);
}

int method_message(int method) {
  return method == kMethodDirect ? kMsgMethodDirect : (method == kMethodIndirect ? kMsgMethodIndirect : kMsgMethodMh);
}

int estimate_cl_message(int type) {
  static constexpr int kByType[] = {0, kMsgClNormal, kMsgClLognormal, kMsgClPoisson, kMsgClGamma, kMsgClGamma};
  return type > kClNone && type <= kClGammaAverage ? kByType[type] : 0;
}

void compute_information_widths(ProcContext& c) {
  const bool rate = c.statistic == kStatRate;
  int label = longest_message({kMsgInfoData, kMsgInfoStatistic, kMsgInfoMethod, kMsgInfoStrata, kMsgInfoWidth96});
  if (c.reference.data != nullptr) label = std::max(label, longest_message({kMsgInfoRefData}));
  if (c.group_given) label = std::max(label, longest_message({kMsgInfoGroup}));
  if (rate) label = std::max(label, longest_message({kMsgInfoMultiplier}));
  c.info_label_width = label;
  int value = std::max(c.population.name_length, c.reference.name_length);
  if (c.group_given) value = std::max<int>(value, c.group.name.length);
  value = std::max(value, longest_message({rate ? kMsgRateText : kMsgRiskText}));
  c.info_value_width = std::max<int>(value, c.method_label.length);
}

}  // namespace

void resolve_label_texts(ProcContext& c) {
  build_strata_heading(c);
  copy_short(c.method_label, message(method_message(c.method)));
  const int cl_message = estimate_cl_message(c.cl_type);
  c.cl_label.length = 0;
  if (cl_message != 0) copy_short(c.cl_label, message(cl_message));
  c.statistic_label_width = c.statistic == kStatRate ? longest_message({kMsgRateWidthA, kMsgRateWidthB})
                                                     : longest_message({kMsgRiskWidthA, kMsgRiskWidthB});
  c.cl_label_width = std::max<int>(c.cl_label.length, longest_message({kMsgClWidth}));
  compute_information_widths(c);
}

}  // namespace quilvar::syntax
