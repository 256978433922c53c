"""Type stubs of tessarin.schemasift."""

import enum
from collections.abc import Callable, Iterable
from types import ModuleType
from typing import Any

from typing_extensions import disjoint_base

from tessarin import Pattern, _NativeType, _Record

# The catalog sources are typed in tessarin.schemasift.sources itself.
from tessarin.schemasift.sources import catalog_from_database as catalog_from_database
from tessarin.schemasift.sources import catalog_from_ddl as catalog_from_ddl

_native: ModuleType  # tessarin._core.schemasift

# ---- text primitives ----

def _split_identifier(value: str) -> str: ...
def tokenize(text: str, stopwords: Iterable[str] | None = None) -> list[str]: ...
def normalize_text(text: object) -> str: ...
def estimate_tokens(text: str, chars_per_token: float = 4.0) -> int: ...
def stable_hash(value: object) -> str: ...
def safe_float(value: object, default: float = 0.0) -> float: ...

# ---- vocabulary ----

DEFAULT_STOPWORDS: frozenset[str]
DATE_TERMS: frozenset[str]
METRIC_TERMS: frozenset[str]
DIMENSION_TERMS: frozenset[str]
TREND_WORDS: frozenset[str]
ROW_LISTING_PHRASES: tuple[str, ...]
_WORD_RE: Pattern
_CAMEL_RE: Pattern
TOP_N_RE: Pattern
BOTTOM_N_RE: Pattern

class ColumnRole(enum.StrEnum):
    METRIC = "metric"
    DIMENSION = "dimension"
    DATE = "date"
    DATETIME = "datetime"
    ID = "id"
    PRIMARY_KEY = "primary_key"
    FOREIGN_KEY = "foreign_key"
    TEXT = "text"
    BOOLEAN = "boolean"
    UNKNOWN = "unknown"

class Strategy(enum.StrEnum):
    LEXICAL = "lexical"
    TFIDF = "tfidf"
    EMBEDDING = "embedding"
    HYBRID = "hybrid"

# ---- catalog model ----

@disjoint_base
class ColumnMeta(_Record):
    name: str
    type: str = ""
    description: str = ""
    synonyms: list[str] = ...
    role: str = "unknown"
    tags: list[str] = ...
    nullable: bool | None = None
    is_primary_key: bool = False
    is_foreign_key: bool = False
    sample_values: list[Any] = ...
    extra: dict[str, Any] = ...
    def searchable_text(self, table_name: str = "", table_business_name: str = "") -> str: ...

@disjoint_base
class TableMeta(_Record):
    table_name: str
    business_name: str = ""
    description: str = ""
    tags: list[str] = ...
    columns: list[ColumnMeta] = ...
    default_date_column: str | None = None
    default_metric_column: str | None = None
    row_count: int | None = None
    extra: dict[str, Any] = ...
    def searchable_text(self) -> str: ...

@disjoint_base
class RelationshipMeta(_Record):
    from_table: str
    from_column: str
    to_table: str
    to_column: str
    relationship_type: str = "many_to_one"
    description: str = ""
    extra: dict[str, Any] = ...
    def involves(self, table_names: Iterable[str]) -> bool: ...
    def touches(self, table_names: Iterable[str]) -> bool: ...

@disjoint_base
class MetadataCatalog(_Record):
    database: str = ""
    tables: list[TableMeta] = ...
    relationships: list[RelationshipMeta] = ...
    extra: dict[str, Any] = ...
    def to_prompt_dict(self) -> dict[str, Any]: ...

@disjoint_base
class CatalogNormalizer(metaclass=_NativeType):
    def __init__(self) -> None: ...
    @staticmethod
    def normalize(catalog: dict[str, Any], database: str | None = None) -> MetadataCatalog: ...
    @staticmethod
    def _infer_role(raw_col: dict[str, Any]) -> str: ...
    @staticmethod
    def _normalize_relationships(obj: dict[str, Any]) -> list[RelationshipMeta]: ...

# ---- intent ----

@disjoint_base
class QueryIntent(_Record):
    raw_question: str
    tokens: list[str] = ...
    has_time_filter: bool = False
    wants_trend: bool = False
    wants_metric: bool = False
    wants_grouping: bool = False
    wants_table_rows: bool = False
    top_n: int | None = None
    bottom_n: int | None = None
    metric_terms: list[str] = ...
    dimension_terms: list[str] = ...
    date_terms: list[str] = ...

@disjoint_base
class IntentParser(metaclass=_NativeType):
    def __init__(self) -> None: ...
    def parse(self, question: str) -> QueryIntent: ...

# ---- selector configuration and results ----

@disjoint_base
class SelectorConfig(_Record):
    strategy: str = "hybrid"
    top_k_tables: int = 3
    max_columns_per_table: int = 25
    min_table_score: float = 0.03
    min_column_score: float = 0.02
    include_relationships: bool = True
    include_neighbor_tables_for_joins: bool = False
    include_primary_keys: bool = True
    include_foreign_keys: bool = True
    include_default_date_on_time_intent: bool = True
    include_default_metric_on_metric_intent: bool = True
    max_output_chars: int | None = None
    token_chars_per_token: float = 4.0
    include_descriptions: bool = True
    include_synonyms: bool = True
    include_sample_values: bool = False
    max_sample_values_per_column: int = 5
    table_name_weight: float = 8.0
    table_business_name_weight: float = 6.0
    table_tag_weight: float = 4.0
    table_description_weight: float = 2.0
    column_name_weight: float = 10.0
    column_synonym_weight: float = 8.0
    column_tag_weight: float = 4.0
    column_description_weight: float = 2.0
    role_intent_weight: float = 4.0
    exact_phrase_bonus: float = 5.0
    use_tfidf_if_available: bool = True
    use_embeddings_if_available: bool = False
    embedding_model_name_or_path: str | None = None
    lexical_alpha: float = 0.7
    tfidf_alpha: float = 0.15
    embedding_alpha: float = 0.15
    include_debug: bool = True
    fuse_table_ranks: bool = False
    max_join_path_length: int = 0
    table_score_drop_off: float = 0.0
    show_progress_bar: bool = False
    @staticmethod
    def high_recall(
        model_name_or_path: str | None = None, *, top_k_tables: int = 5
    ) -> SelectorConfig:
        """Fused table ranks with embeddings and bridge tables; with no model,
        all-MiniLM-L6-v2 of the 'embeddings' extra when installed."""

@disjoint_base
class ScoredColumn(_Record):
    column: ColumnMeta
    score: float
    reasons: list[str] = ...

@disjoint_base
class ScoredTable(_Record):
    table: TableMeta
    score: float
    reasons: list[str] = ...
    columns: list[ScoredColumn] = ...

@disjoint_base
class SelectionMetrics(_Record):
    input_tables: int
    input_columns: int
    output_tables: int
    output_columns: int
    input_chars: int
    output_chars: int
    input_estimated_tokens: int
    output_estimated_tokens: int
    table_reduction_percent: float
    column_reduction_percent: float
    char_reduction_percent: float
    token_reduction_percent: float
    compression_ratio: float
    catalog_hash: str
    def summary(self) -> str: ...

@disjoint_base
class MetadataSelectionResult(_Record):
    selected_metadata: dict[str, Any]
    metrics: SelectionMetrics
    intent: QueryIntent
    debug: dict[str, Any] = ...
    def to_dict(self, include_debug: bool = False) -> dict[str, Any]: ...

# ---- selector (appended below) ----
# (section owned by the selector bindings)

@disjoint_base
class PreparedCatalog(metaclass=_NativeType):
    """An immutable snapshot of a catalog with everything selections derive from it.

    Made once from a catalog dict, a MetadataCatalog (copied) or another
    PreparedCatalog (shared); accepted wherever a catalog is, with the same
    results; never changed by a selection; safe to share between threads;
    pickles (document embeddings included).
    """

    def __init__(self, catalog: MetadataCatalog | PreparedCatalog | dict[str, Any]) -> None: ...
    @property
    def catalog(self) -> MetadataCatalog: ...
    @property
    def catalog_hash(self) -> str: ...
    @property
    def table_count(self) -> int: ...
    @property
    def column_count(self) -> int: ...
    @property
    def nbytes(self) -> int: ...
    def warm_up(self, config: SelectorConfig | None = None) -> None: ...
    def __getstate__(
        self,
    ) -> tuple[str, str, str, bytes | MetadataCatalog, list[tuple[str, Any]]]: ...
    def __setstate__(
        self, state: tuple[str, str, str, bytes | MetadataCatalog, list[tuple[str, Any]]]
    ) -> None: ...

CatalogInput = MetadataCatalog | PreparedCatalog | dict[str, Any]

@disjoint_base
class Schemasift(metaclass=_NativeType):
    """The metadata selector; `config` is used as given (default SelectorConfig())."""

    config: SelectorConfig
    @property
    def intent_parser(self) -> IntentParser: ...
    def __init__(self, config: SelectorConfig | None = None) -> None: ...
    def select(
        self,
        question: str,
        catalog: CatalogInput,
        *,
        database: str | None = None,
        required_tables: Iterable[str] | None = None,
        required_columns: dict[str, Iterable[str]] | None = None,
        excluded_tables: Iterable[str] | None = None,
        excluded_columns: dict[str, Iterable[str]] | None = None,
    ) -> MetadataSelectionResult: ...
    def select_many(
        self,
        questions: Iterable[str],
        catalog: CatalogInput,
        *,
        database: str | None = None,
        required_tables: Iterable[str] | None = None,
        required_columns: dict[str, Iterable[str]] | None = None,
        excluded_tables: Iterable[str] | None = None,
        excluded_columns: dict[str, Iterable[str]] | None = None,
        threads: int | None = None,
    ) -> list[MetadataSelectionResult]: ...
    # lexical scoring
    @staticmethod
    def _token_overlap_score(
        q_tokens: Iterable[str],
        doc_tokens: Iterable[str],
        weight: float,
        reasons: list[str],
        reason_label: str,
    ) -> float: ...
    @staticmethod
    def _normalize_lexical(score: float) -> float: ...
    def _lexical_score_table(
        self, question: str, table: TableMeta, intent: QueryIntent
    ) -> tuple[float, list[str]]: ...
    def _lexical_score_column(
        self, question: str, table: TableMeta, col: ColumnMeta, intent: QueryIntent
    ) -> tuple[float, list[str]]: ...
    # documents, vector scores and blending
    @staticmethod
    def _build_doc_texts(catalog: MetadataCatalog) -> dict[str, str]: ...
    def _get_tfidf_scores(self, question: str, docs: dict[str, str]) -> dict[str, float]: ...
    def _get_embedding_scores(self, question: str, docs: dict[str, str]) -> dict[str, float]: ...
    def _blend_scores(self, lexical: float, tfidf: float, embedding: float) -> float: ...
    # choice
    def _score_tables(
        self,
        question: str,
        catalog: MetadataCatalog,
        intent: QueryIntent,
        tfidf_scores: dict[str, float],
        embedding_scores: dict[str, float],
        required_tables: Iterable[str],
    ) -> list[ScoredTable]: ...
    def _choose_tables(
        self, scored_tables: list[ScoredTable], required_tables: Iterable[str]
    ) -> list[ScoredTable]: ...
    def _score_and_choose_columns(
        self,
        question: str,
        table: TableMeta,
        intent: QueryIntent,
        tfidf_scores: dict[str, float],
        embedding_scores: dict[str, float],
        required_columns: Iterable[str],
        excluded_columns: Iterable[str],
    ) -> list[ScoredColumn]: ...
    @staticmethod
    def _ensure_intent_columns(
        table: TableMeta,
        ranked: list[ScoredColumn],
        selected: list[ScoredColumn],
        intent: QueryIntent,
    ) -> list[ScoredColumn]: ...
    def _select_relationships(
        self, catalog: MetadataCatalog, selected_tables: list[ScoredTable]
    ) -> list[RelationshipMeta]: ...
    # output, budget and metrics
    def _build_selected_metadata(
        self,
        catalog: MetadataCatalog,
        selected_tables: list[ScoredTable],
        selected_relationships: list[RelationshipMeta],
    ) -> dict[str, Any]: ...
    def _apply_output_budget(self, selected_metadata: dict[str, Any]) -> dict[str, Any]: ...
    @staticmethod
    def _reduction_percent(before: int, after: int) -> float: ...

def select_metadata(
    question: str,
    catalog: CatalogInput,
    database: str | None = None,
    strategy: str = "hybrid",
    top_k_tables: int = 3,
    max_columns_per_table: int = 25,
    max_output_chars: int | None = None,
    use_embeddings: bool = False,
    embedding_model_name_or_path: str | None = None,
    include_debug: bool = True,
) -> MetadataSelectionResult: ...

@disjoint_base
class OptionalTfidfBackend(metaclass=_NativeType):
    """TF-IDF similarities of word unigrams and bigrams (native; always available)."""

    available: bool
    doc_ids: list[str]
    @property
    def vectorizer(self) -> object | None: ...
    @property
    def matrix(self) -> object | None: ...
    def __init__(self) -> None: ...
    def build(self, doc_text_by_id: dict[str, str]) -> None: ...
    def score(self, question: str) -> dict[str, float]: ...

@disjoint_base
class OptionalEmbeddingBackend(metaclass=_NativeType):
    """Sentence-embedding similarities when a model is given and loads.

    The model is sentence-transformers' ``SentenceTransformer(model_name_or_path)``,
    imported on construction only; ``model`` is that object and ``embeddings``
    what its ``encode`` returned for the documents.
    """

    available: bool
    doc_ids: list[str]
    model_name_or_path: str | None
    @property
    def model(self) -> object | None: ...
    @property
    def embeddings(self) -> object | None: ...
    def __init__(self, model_name_or_path: str | None = None) -> None: ...
    def build(self, doc_text_by_id: dict[str, str]) -> None: ...
    def score(self, question: str) -> dict[str, float]: ...

def demo_catalog() -> dict[str, Any]: ...

_DEMO_QUESTION: str

def _demo_output() -> str: ...
def _set_tfidf_vectorizer_factory(factory: Callable[[], object] | None) -> None: ...
def _restore_native_tfidf() -> None: ...
def _clear_vector_caches() -> None: ...

__all__ = [
    "BOTTOM_N_RE",
    "CatalogNormalizer",
    "ColumnMeta",
    "DATE_TERMS",
    "DEFAULT_STOPWORDS",
    "DIMENSION_TERMS",
    "IntentParser",
    "METRIC_TERMS",
    "MetadataCatalog",
    "MetadataSelectionResult",
    "OptionalEmbeddingBackend",
    "OptionalTfidfBackend",
    "PreparedCatalog",
    "QueryIntent",
    "ROW_LISTING_PHRASES",
    "RelationshipMeta",
    "Schemasift",
    "ScoredColumn",
    "ScoredTable",
    "SelectionMetrics",
    "SelectorConfig",
    "TOP_N_RE",
    "TREND_WORDS",
    "TableMeta",
    "demo_catalog",
    "estimate_tokens",
    "normalize_text",
    "safe_float",
    "select_metadata",
    "stable_hash",
    "tokenize",
    "ColumnRole",
    "Strategy",
    "catalog_from_database",
    "catalog_from_ddl",
]
