// The dict keys of results and of the element catalogue, one interned str
// each for the whole process.
#pragma once

#include "objects.h"

namespace tamberok::py::keys {

// Head of nested and flat results.
inline Key VIN{"vin"};
inline Key WMI{"wmi"};
inline Key DESCRIPTOR{"descriptor"};
inline Key MODEL_YEAR{"model_year"};
inline Key ERROR_CODES{"error_codes"};
inline Key CHECK_DIGIT_VALID{"check_digit_valid"};
inline Key CORRECTED_VIN{"corrected_vin"};
inline Key ELEMENTS{"elements"};
inline Key ATTRIBUTES{"attributes"};

// One decoded element; the catalogue uses six of them.
inline Key GROUP_NAME{"group_name"};
inline Key VARIABLE{"variable"};
inline Key VALUE{"value"};
inline Key ELEMENT_ID{"element_id"};
inline Key ATTRIBUTE_ID{"attribute_id"};
inline Key CODE{"code"};
inline Key DATA_TYPE{"data_type"};
inline Key DECODE{"decode"};
inline Key SOURCE{"source"};
inline Key PATTERN_ID{"pattern_id"};
inline Key VIN_SCHEMA_ID{"vin_schema_id"};
inline Key KEYS{"keys"};
inline Key CREATED_ON{"created_on"};
inline Key WMI_ID{"wmi_id"};
inline Key TO_BE_QCED{"to_be_qced"};

}  // namespace tamberok::py::keys
