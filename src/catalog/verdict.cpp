#include "catalog/verdict.h"

#include "catalog/catalog.h"

UpdateVerdict judgeUpdate(const DeviceIdentity& identity, const ImageCursor& image) {
    if (lookupModelName(identity.productId, identity.pcbRevision) == nullptr) return {VERDICT_UNCATALOGUED, COMPATIBLE};
    if (image.base == nullptr || image.header == nullptr) return {VERDICT_NO_IMAGE, COMPATIBLE};
    const int compatibility = checkCompatibility(&identity, &image);
    if (compatibility != COMPATIBLE) return {VERDICT_INCOMPATIBLE, compatibility};
    const std::uint32_t installed = identity.version, offered = image.header->version;
    if (installed == 0 || installed < offered) return {VERDICT_UPDATE, COMPATIBLE};
    return {installed == offered ? VERDICT_SAME : VERDICT_OLDER, COMPATIBLE};
}

bool verdictCompatible(const UpdateVerdict& verdict) {
    return verdict.kind == VERDICT_UPDATE || verdict.kind == VERDICT_SAME || verdict.kind == VERDICT_OLDER;
}
