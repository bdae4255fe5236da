#include "attributes/attribute_processors.hpp"

namespace vexa {

const ProcessorList& attributeProcessors() {
    static ProcessorList processors;
    if (processors.empty()) AllAttributes::makeProcessors(processors);
    return processors;
}

}  // namespace vexa
