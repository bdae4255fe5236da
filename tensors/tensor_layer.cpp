// Anchor of the tensor library: keeps it a real archive while its other
// files come and go.
namespace vexa::tensors {
int tensorLayerAnchor = 0;
}
