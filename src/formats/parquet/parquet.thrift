// Parquet file metadata, written from the public Parquet format documentation.
// Only the parts this library reads or writes are declared; fields not listed
// here are skipped by the Thrift decoder. Enumerations are declared as i32 so
// that values unknown to us decode safely and are rejected by our own checks.
namespace cpp quorin_pq

// Physical types: BOOLEAN=0 INT32=1 INT64=2 INT96=3 FLOAT=4 DOUBLE=5
// BYTE_ARRAY=6 FIXED_LEN_BYTE_ARRAY=7.
// Converted types: UTF8=0 MAP=1 MAP_KEY_VALUE=2 LIST=3 ENUM=4 DECIMAL=5 DATE=6
// TIME_MILLIS=7 TIME_MICROS=8 TIMESTAMP_MILLIS=9 TIMESTAMP_MICROS=10 UINT_8=11
// UINT_16=12 UINT_32=13 UINT_64=14 INT_8=15 INT_16=16 INT_32=17 INT_64=18
// JSON=19 BSON=20 INTERVAL=21.
// Repetition: REQUIRED=0 OPTIONAL=1 REPEATED=2.
// Encodings: PLAIN=0 PLAIN_DICTIONARY=2 RLE=3 BIT_PACKED=4
// DELTA_BINARY_PACKED=5 DELTA_LENGTH_BYTE_ARRAY=6 DELTA_BYTE_ARRAY=7
// RLE_DICTIONARY=8 BYTE_STREAM_SPLIT=9.
// Codecs: UNCOMPRESSED=0 SNAPPY=1 GZIP=2 LZO=3 BROTLI=4 LZ4=5 ZSTD=6 LZ4_RAW=7.
// Page types: DATA_PAGE=0 INDEX_PAGE=1 DICTIONARY_PAGE=2 DATA_PAGE_V2=3.

struct Statistics {
  1: optional binary max
  2: optional binary min
  3: optional i64 null_count
  4: optional i64 distinct_count
  5: optional binary max_value
  6: optional binary min_value
}

struct StringType {}
struct UUIDType {}
struct MapType {}
struct ListType {}
struct EnumType {}
struct DateType {}
struct NullType {}
struct JsonType {}
struct BsonType {}
struct Float16Type {}
struct OtherType {}

struct DecimalType {
  1: required i32 scale
  2: required i32 precision
}

struct MilliSeconds {}
struct MicroSeconds {}
struct NanoSeconds {}

union TimeUnit {
  1: MilliSeconds MILLIS
  2: MicroSeconds MICROS
  3: NanoSeconds NANOS
}

struct TimestampType {
  1: required bool isAdjustedToUTC
  2: required TimeUnit unit
}

struct TimeType {
  1: required bool isAdjustedToUTC
  2: required TimeUnit unit
}

struct IntType {
  1: required i8 bitWidth
  2: required bool isSigned
}

union LogicalType {
  1: StringType STRING
  2: MapType MAP
  3: ListType LIST
  4: EnumType ENUM
  5: DecimalType DECIMAL
  6: DateType DATE
  7: TimeType TIME
  8: TimestampType TIMESTAMP
  10: IntType INTEGER
  11: NullType UNKNOWN
  12: JsonType JSON
  13: BsonType BSON
  14: UUIDType UUID
  15: Float16Type FLOAT16
  16: OtherType VARIANT
  17: OtherType GEOMETRY
  18: OtherType GEOGRAPHY
}

struct SchemaElement {
  1: optional i32 type
  2: optional i32 type_length
  3: optional i32 repetition_type
  4: required string name
  5: optional i32 num_children
  6: optional i32 converted_type
  7: optional i32 scale
  8: optional i32 precision
  9: optional i32 field_id
  10: optional LogicalType logicalType
}

struct DataPageHeader {
  1: required i32 num_values
  2: required i32 encoding
  3: required i32 definition_level_encoding
  4: required i32 repetition_level_encoding
  5: optional Statistics statistics
}

struct IndexPageHeader {}

struct DictionaryPageHeader {
  1: required i32 num_values
  2: required i32 encoding
  3: optional bool is_sorted
}

struct DataPageHeaderV2 {
  1: required i32 num_values
  2: required i32 num_nulls
  3: required i32 num_rows
  4: required i32 encoding
  5: required i32 definition_levels_byte_length
  6: required i32 repetition_levels_byte_length
  7: optional bool is_compressed = true
  8: optional Statistics statistics
}

struct PageHeader {
  1: required i32 type
  2: required i32 uncompressed_page_size
  3: required i32 compressed_page_size
  4: optional i32 crc
  5: optional DataPageHeader data_page_header
  6: optional IndexPageHeader index_page_header
  7: optional DictionaryPageHeader dictionary_page_header
  8: optional DataPageHeaderV2 data_page_header_v2
}

struct KeyValue {
  1: required string key
  2: optional string value
}

struct ColumnMetaData {
  1: required i32 type
  2: required list<i32> encodings
  3: required list<string> path_in_schema
  4: required i32 codec
  5: required i64 num_values
  6: required i64 total_uncompressed_size
  7: required i64 total_compressed_size
  8: optional list<KeyValue> key_value_metadata
  9: required i64 data_page_offset
  10: optional i64 index_page_offset
  11: optional i64 dictionary_page_offset
  12: optional Statistics statistics
}

// Present when a column chunk is encrypted; its contents are not read.
struct ColumnCryptoMetaData {}

struct ColumnChunk {
  1: optional string file_path
  2: required i64 file_offset
  3: optional ColumnMetaData meta_data
  8: optional ColumnCryptoMetaData crypto_metadata
  9: optional binary encrypted_column_metadata
}

struct RowGroup {
  1: required list<ColumnChunk> columns
  2: required i64 total_byte_size
  3: required i64 num_rows
  5: optional i64 file_offset
  6: optional i64 total_compressed_size
  7: optional i16 ordinal
}

struct TypeDefinedOrder {}

union ColumnOrder {
  1: TypeDefinedOrder TYPE_ORDER
}

// Present when the file is encrypted with a plaintext footer; not read.
struct EncryptionAlgorithm {}

struct FileMetaData {
  1: required i32 version
  2: required list<SchemaElement> schema
  3: required i64 num_rows
  4: required list<RowGroup> row_groups
  5: optional list<KeyValue> key_value_metadata
  6: optional string created_by
  7: optional list<ColumnOrder> column_orders
  8: optional EncryptionAlgorithm encryption_algorithm
}
