// Setup file reader and writer.
#include "strata_tree.h"

namespace strata {

bool saveTree(const Item &, const char *)
{
    setError("saving is not available yet");
    return false;
}

ItemPtr loadTree(const char *)
{
    setError("opening is not available yet");
    return nullptr;
}

ItemPtr parseFile(const char *, size_t)
{
    setError("opening is not available yet");
    return nullptr;
}

} // namespace strata
