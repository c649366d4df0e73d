// Results as Python dicts, keys in the same order as the JSON text, so that
// json.loads of decode_json equals decode. Called with the interpreter lock
// held.
#pragma once

#include "ref.h"
#include "tamberok/result.h"

namespace tamberok::py {

Ref result_to_dict(const DecodeResult& result);
Ref flat_to_dict(const FlatResult& result);

}  // namespace tamberok::py
