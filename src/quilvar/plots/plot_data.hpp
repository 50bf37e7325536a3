// How a plot's graph data object is written: a row record whose fields the
// columns are bound to, the column and dynamic-variable definitions, the
// rows, and the graph binding of the finished data object. Each output
// request's status goes to check_output_status.
#pragma once

#include <initializer_list>
#include <span>
#include <string_view>

#include "quilvar/entry/proc_context.hpp"

namespace quilvar::plots {

// The values of one data-object row. Numbers are missing unless set.
struct PlotRow {
  double stratum_id;
  double stratum_index;
  double estimate;
  double lower;
  double upper;
  double x_reference;
  double y_reference;
  double proportion_low;
  double proportion_high;
  char population[kLongTextCapacity];
  char study_population[kLongTextCapacity];
};

// A column of a data object: a number bound to a row field, or one of the
// two population texts.
enum class ColumnKind { kNumber, kPopulation, kStudyPopulation };
struct PlotColumn {
  std::string_view name;
  ColumnKind kind;
  double PlotRow::*field;
};

// A graph: its data object's name, template path and builtin label, and
// the graph's name, label and description.
struct GraphSpec {
  std::string_view data_name;
  int data_label;
  std::string_view graph_name;
  host::OdsText* label;
  host::OdsText* description;
};

// A data object being written.
struct PlotData {
  ProcContext* context;
  host::OdsObject* table;
  host::OdsObject* data_object;
  int text_length;   // width of the population columns
  char group_population[kLongTextCapacity];  // the population of the rows being written
  PlotRow row;
};

// Creates the data template and defines its columns; the population texts
// are text_length characters wide. Returns false when the output system
// refused the template.
bool begin_plot(ProcContext& context, PlotData& plot, const GraphSpec& spec, std::span<const PlotColumn> columns,
                int text_length);

void set_text(PlotData& plot, std::string_view name, host::OdsText* value);
void set_text(PlotData& plot, std::string_view name, std::string_view value);
void set_number(PlotData& plot, std::string_view name, double value);

// Ends the definition and opens the data object. Returns false when it
// could not be opened.
bool open_plot(PlotData& plot, const GraphSpec& spec);

// Clears every number of the row to missing; its population text becomes
// that of the rows being written (the study population's text stays).
void clear_row(PlotData& plot);
// Names the population of the rows written from now on.
void set_population(PlotData& plot, const LongText& label);
// Names the study population, held by every row.
void set_study_population(PlotData& plot, const LongText& label);
// Adds the row as it stands, then clears it.
void add_plot_row(PlotData& plot);
// Adds a row of missing numbers and a blank population, which separates
// the row groups.
void add_blank_row(PlotData& plot);

// Adds one row per field/value pair, each holding only that value, then a
// blank row (the axis rows).
struct FieldValue {
  double PlotRow::*field;
  double value;
};
void add_single_value_rows(PlotData& plot, std::initializer_list<FieldValue> values);

// Adds the two ends of a horizontal reference line at y, from x_min to
// x_max, then a blank row.
void add_reference_line(PlotData& plot, double x_min, double x_max, double y);

// Closes the data object and binds the graph template of `graph_name`
// ("…Horiz" for horizontal plots) to it.
void finish_plot(PlotData& plot, const GraphSpec& spec);

}  // namespace quilvar::plots
