// The fixed vocabularies of the metadata selector.
#include "tessarin/schemasift/vocabulary.h"

#include <iterator>

namespace tessarin::schemasift {

namespace {

const std::string kDefaultStopwords[] = {
    "a",       "an",     "the",   "and",    "or",      "of",      "for",     "to",
    "by",      "in",     "on",    "at",     "from",    "with",    "without", "show",
    "give",    "get",    "find",  "list",   "display", "me",      "all",     "data",
    "records", "record", "table", "tables", "column",  "columns", "wise",    "based",
    "using",   "as",     "per",   "each",   "every",   "details", "detail"};

}  // namespace

const WordSet DEFAULT_STOPWORDS(std::begin(kDefaultStopwords), std::end(kDefaultStopwords));
const words::WordIndex DEFAULT_STOPWORD_INDEX(
    std::vector<std::string>(std::begin(kDefaultStopwords), std::end(kDefaultStopwords)));

const WordSet DATE_TERMS = {"date",      "day",       "daily",     "week",   "weekly",  "month",
                            "monthly",   "quarter",   "quarterly", "year",   "yearly",  "today",
                            "yesterday", "tomorrow",  "last",      "next",   "current", "previous",
                            "trend",     "time",      "timeline",  "period", "created", "updated",
                            "modified",  "timestamp", "datetime"};

const WordSet METRIC_TERMS = {
    "total",  "sum",      "amount",  "revenue", "sales", "income",  "cost",    "price",   "profit",
    "loss",   "count",    "average", "avg",     "mean",  "minimum", "maximum", "min",     "max",
    "volume", "quantity", "qty",     "rate",    "ratio", "score",   "value",   "measure", "metric"};

const WordSet DIMENSION_TERMS = {
    "by",     "group",      "grouped", "wise",    "category", "region",  "zone",    "area",
    "status", "type",       "name",    "city",    "state",    "country", "product", "customer",
    "user",   "department", "branch",  "segment", "source",   "channel"};

const Regex WORD_RE("[a-zA-Z0-9_]+");
const Regex CAMEL_RE("(?<!^)(?=[A-Z])");
const Regex TOP_N_RE("\\btop\\s+(\\d+)\\b", true);
const Regex BOTTOM_N_RE("\\bbottom\\s+(\\d+)\\b", true);

}  // namespace tessarin::schemasift
