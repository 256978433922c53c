// Selects from a catalog JSON file the tables, columns and joins a question
// needs, the way a C++ service would: read the file, prepare the catalog
// once, select, print the metrics line and the chosen tables (or, with
// --json, the whole result).
//
//   catalog_select CATALOG.json "question" [--strategy S] [--top-k N] [--json]
//
// It prints what `tessarin select CATALOG QUESTION --format summary` (or
// `--format json`) prints for the same arguments.
#include <tessarin/common/json_text.h>
#include <tessarin/schemasift/normalizer.h>
#include <tessarin/schemasift/prepared.h>
#include <tessarin/schemasift/selector.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

namespace {

using tessarin::JsonMap;
using tessarin::JsonValue;

struct Arguments {
  std::string catalog_path;
  std::string question;
  std::string strategy = std::string(tessarin::schemasift::Strategy::HYBRID);
  std::int64_t top_k_tables = 3;
  bool json = false;
};

[[noreturn]] void usage(const std::string& problem) {
  std::cerr << "catalog_select: " << problem << "\n"
            << "usage: catalog_select CATALOG.json QUESTION [--strategy S] [--top-k N] [--json]\n";
  std::exit(2);
}

std::int64_t positive_int(const std::string& text) {
  std::size_t used = 0;
  long long value = 0;
  try {
    value = std::stoll(text, &used);
  } catch (const std::exception&) {
    usage("invalid integer: '" + text + "'");
  }
  if (used != text.size() || value < 1) usage("--top-k must be a whole number of at least 1");
  return value;
}

Arguments read_arguments(int argc, char** argv) {
  Arguments args;
  int positional = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--json") {
      args.json = true;
    } else if (arg == "--strategy") {
      if (++i == argc) usage("--strategy needs a value");
      args.strategy = argv[i];
    } else if (arg == "--top-k") {
      if (++i == argc) usage("--top-k needs a value");
      args.top_k_tables = positive_int(argv[i]);
    } else if (positional == 0) {
      args.catalog_path = arg;
      ++positional;
    } else if (positional == 1) {
      args.question = arg;
      ++positional;
    } else {
      usage("unexpected argument: '" + arg + "'");
    }
  }
  if (positional != 2) usage("CATALOG and QUESTION are required");
  return args;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The metrics line, then the database and one line per chosen table and join.
void print_summary(const tessarin::schemasift::MetadataSelectionResult& result) {
  std::cout << result.metrics.summary() << "\n";
  const JsonMap& selected = result.selected_metadata;
  if (const JsonValue* database = selected.find("database");
      database && database->is_string() && !database->as_string().empty()) {
    std::cout << "database: " << database->as_string() << "\n";
  }
  if (const JsonValue* tables = selected.find("tables"); tables && tables->is_list()) {
    for (const JsonValue& table : tables->as_list()) {
      const JsonMap& fields = table.as_map();
      std::cout << "table " << fields.find("table_name")->as_string() << ":";
      const char* separator = " ";
      for (const JsonValue& column : fields.find("columns")->as_list()) {
        std::cout << separator << column.as_map().find("name")->as_string();
        separator = ", ";
      }
      std::cout << "\n";
    }
  }
  if (const JsonValue* joins = selected.find("relationships"); joins && joins->is_list()) {
    for (const JsonValue& join : joins->as_list()) {
      const JsonMap& fields = join.as_map();
      std::cout << "join " << fields.find("from_table")->as_string() << "."
                << fields.find("from_column")->as_string() << " = "
                << fields.find("to_table")->as_string() << "."
                << fields.find("to_column")->as_string() << "\n";
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const Arguments args = read_arguments(argc, argv);
  try {
    const JsonValue catalog = tessarin::parse_json(read_file(args.catalog_path));
    // Prepared once; a service keeps it and selects on it for every message.
    const tessarin::schemasift::PreparedCatalog prepared(
        tessarin::schemasift::CatalogNormalizer::normalize(catalog));

    tessarin::schemasift::SelectorConfig config;
    config.strategy = args.strategy;
    config.top_k_tables = args.top_k_tables;
    const tessarin::schemasift::Schemasift selector(config);
    const auto result = selector.select(args.question, prepared);

    if (args.json) {
      std::cout << tessarin::json_text(JsonValue(result.to_dict(true)),
                                       {.indent = 2, .ensure_ascii = false})
                << "\n";
    } else {
      print_summary(result);
    }
  } catch (const std::exception& error) {
    std::cerr << "catalog_select: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
