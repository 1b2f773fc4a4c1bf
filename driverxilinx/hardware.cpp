// Hardware start and stop of a card.
#include "driver.h"

// StartDevice: hardware start arrives with the card's register window and
// DMA resources; until then a card cannot be started.
NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PCM_PARTIAL_RESOURCE_LIST RawList,
                     PCM_PARTIAL_RESOURCE_LIST TranslatedList) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(RawList);
  UNREFERENCED_PARAMETER(TranslatedList);
  return STATUS_NOT_SUPPORTED;
}

VOID StopDevice(PDEVICE_OBJECT DeviceObject) { UNREFERENCED_PARAMETER(DeviceObject); }
VOID ReleaseDeviceResources(PDEVICE_OBJECT DeviceObject) { UNREFERENCED_PARAMETER(DeviceObject); }
