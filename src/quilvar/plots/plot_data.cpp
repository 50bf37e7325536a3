// Writing a plot's graph data object and binding it to its graph template.
#include "quilvar/plots/plot_data.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "quilvar/entry/step_status.hpp"
#include "quilvar/host/calls.hpp"
#include "quilvar/tables/table_framework.hpp"

namespace quilvar::plots {

namespace {

constexpr std::string_view kGraphPathPrefix = "Vesk.Quilvar.Graphics.";
constexpr std::string_view kHorizontalSuffix = "Horiz";
constexpr std::int32_t kGraphDataFlag = 1;

constexpr double PlotRow::*kNumberFields[] = {
    &PlotRow::stratum_id,  &PlotRow::stratum_index, &PlotRow::estimate,       &PlotRow::lower,          &PlotRow::upper,
    &PlotRow::x_reference, &PlotRow::y_reference,   &PlotRow::proportion_low, &PlotRow::proportion_high};

host::OutputItem counted(std::uint16_t attribute, std::string_view text) {
  return host::make_counted_text_item(attribute, text.data(), static_cast<std::int64_t>(text.size()));
}

void invoke(PlotData& plot, host::OdsObject* object, int method, std::initializer_list<host::OutputItem> items) {
  check_output_status(*plot.context, host::ods_invoke(object, nullptr, method, items));
}

void copy_label(char* slot, const LongText& label) {
  std::fill(slot, slot + kLongTextCapacity, ' ');
  std::memcpy(slot, label.text, static_cast<std::size_t>(std::clamp<int>(label.length, 0, kLongTextCapacity)));
}

}  // namespace

bool begin_plot(ProcContext& c, PlotData& plot, const GraphSpec& spec, std::span<const PlotColumn> columns,
                int text_length) {
  plot.context = &c;
  plot.text_length = std::clamp(text_length, 1, kLongTextCapacity);
  plot.data_object = nullptr;
  std::fill(plot.row.study_population, plot.row.study_population + kLongTextCapacity, ' ');
  std::fill(plot.group_population, plot.group_population + kLongTextCapacity, ' ');
  clear_row(plot);
  plot.table = tables::create_template(c, spec.data_name, host::ods_make_builtin_text(spec.data_label));
  if (plot.table == nullptr) return false;
  for (const PlotColumn& column : columns) {
    if (column.kind == ColumnKind::kNumber) {
      tables::define_numeric_column(c, plot.table, column.name, &(plot.row.*column.field));
    } else {
      const char* slot = column.kind == ColumnKind::kPopulation ? plot.row.population : plot.row.study_population;
      tables::define_text_column(c, plot.table, column.name, slot, plot.text_length);
    }
  }
  return true;
}

void set_text(PlotData& plot, std::string_view name, host::OdsText* value) {
  tables::set_dynamic(*plot.context, plot.table, name, value);
}

void set_text(PlotData& plot, std::string_view name, std::string_view value) {
  tables::set_dynamic(*plot.context, plot.table, name, value);
}

void set_number(PlotData& plot, std::string_view name, double value) {
  invoke(plot, plot.table, host::kMethodSetDynamic,
         {counted(host::kAttrDynamicName, name), host::make_double_item(host::kAttrDynamicValue, value)});
}

bool open_plot(PlotData& plot, const GraphSpec& spec) {
  ProcContext& c = *plot.context;
  tables::end_definition(c, plot.table);
  std::string path(tables::kTemplatePathPrefix);
  path += spec.data_name;
  host::OdsObject* output = nullptr;
  host::OutputItem items[] = {host::make_result_item(host::kAttrPositional, &output),
                              host::make_handle_item(host::kAttrPositional, plot.table),
                              counted(host::kAttrTemplatePath, path),
                              host::make_int_item(host::kAttrGraphFlags, kGraphDataFlag),
                              host::make_result_item(host::kAttrDataObject, &plot.data_object)};
  const std::int32_t status = host::ods_invoke(c.output_manager, nullptr, host::kMethodOpenOutput, 5, items);
  check_output_status(c, status);
  c.tables.open_output = status < 0 ? nullptr : output;
  return status >= 0;
}

void clear_row(PlotData& plot) {
  for (double PlotRow::*field : kNumberFields) plot.row.*field = host::kMissing;
  std::memcpy(plot.row.population, plot.group_population, kLongTextCapacity);
}

void set_population(PlotData& plot, const LongText& label) {
  copy_label(plot.group_population, label);
  std::memcpy(plot.row.population, plot.group_population, kLongTextCapacity);
}

void set_study_population(PlotData& plot, const LongText& label) { copy_label(plot.row.study_population, label); }

void add_plot_row(PlotData& plot) {
  tables::add_row(*plot.context, plot.table);
  clear_row(plot);
}

void add_blank_row(PlotData& plot) {
  clear_row(plot);
  std::fill(plot.row.population, plot.row.population + kLongTextCapacity, ' ');
  add_plot_row(plot);
}

void add_single_value_rows(PlotData& plot, std::initializer_list<FieldValue> values) {
  for (const FieldValue& value : values) {
    plot.row.*value.field = value.value;
    add_plot_row(plot);
  }
  add_blank_row(plot);
}

void add_reference_line(PlotData& plot, double x_min, double x_max, double y) {
  for (double x : {x_min, x_max}) {
    plot.row.x_reference = x;
    plot.row.y_reference = y;
    add_plot_row(plot);
  }
  add_blank_row(plot);
}

void finish_plot(PlotData& plot, const GraphSpec& spec) {
  ProcContext& c = *plot.context;
  tables::close_table(c, plot.table);
  if (plot.data_object == nullptr) return;
  std::string path(kGraphPathPrefix);
  path += spec.graph_name;
  if (c.plot_orientation == kHorizontal) path += kHorizontalSuffix;
  host::OdsObject* data[] = {plot.data_object};
  invoke(plot, c.output_manager, host::kMethodBindGraph,
         {counted(host::kAttrName, spec.graph_name), host::make_text_item(host::kAttrLabel, spec.label),
          host::make_text_item(host::kAttrDescription, spec.description), counted(host::kAttrTemplatePath, path),
          host::make_counted_list_item(host::kAttrDataObjectList, data, 1)});
}

}  // namespace quilvar::plots
