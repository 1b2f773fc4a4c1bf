// DMA resources of a card: one adapter and one common buffer per direction,
// an MDL over each buffer, and a pool of eight further common buffers.
//
// Notes:
//  1. Every buffer is one physically contiguous, non-cached common buffer, so
//     a transfer needs one scatter/gather item and no map registers: all
//     mapping work is done once, at start. The adapters are asked for 32-bit
//     addressing, so every bus address lies below 4 GiB and the card is only
//     ever given the low 32 bits.
//  2. A pointer is null exactly when its resource is not held, so
//     FreeDmaResource can run over any partial state, and twice.
//  3. A pool entry is either fully described (buffer and MDL) or empty: if
//     its MDL cannot be allocated the buffer is given back at once, so no
//     entry is ever used without its MDL.
//  4. A common buffer comes with whatever the memory last held, and a pool
//     read or a write-back peek hands bytes of it to user mode: every buffer
//     is cleared when it is allocated, so that no stale kernel memory ever
//     reaches a caller (or the card).
#include "driver.h"

namespace {

VOID FillDeviceDescription(PDEVICE_DESCRIPTION Description) {
  RtlZeroMemory(Description, sizeof(*Description));
  Description->Version = DEVICE_DESCRIPTION_VERSION1;
  Description->Master = TRUE;
  Description->ScatterGather = TRUE;
  Description->Dma32BitAddresses = TRUE;
  Description->InterfaceType = PCIBus;
  Description->MaximumLength = DMA_MAX_TRANSFER_SIZE;
}

VOID TraceCommonBuffer(PHYSICAL_ADDRESS LogicalAddress) {
  DbgPrint("vantrel  %s  %p  %08x  %08x \n", "AllocateDmaResource", (PVOID)(ULONG_PTR)LogicalAddress.QuadPart,
           LogicalAddress.LowPart, (ULONG)LogicalAddress.HighPart);
}

PMDL DescribeNonPaged(PVOID Buffer) {
  PMDL mdl = IoAllocateMdl(Buffer, DMA_COMMON_BUFFER_SIZE, FALSE, FALSE, nullptr);
  if (mdl != nullptr) MmBuildMdlForNonPagedPool(mdl);
  return mdl;
}

#define DMA_FAILURE()                                \
  do {                                               \
    DbgPrint("vantrel  %s %d\n", MODULE_DMA, __LINE__); \
    return FALSE;                                    \
  } while (0)

}  // namespace

// AllocateDmaResource: both adapters, both direction buffers and their MDLs,
// then as much of the pool as can be had. PASSIVE_LEVEL. FALSE when a
// direction resource is missing; what was obtained stays for
// FreeDmaResource (note 2).
BOOLEAN AllocateDmaResource(PDEVICE_OBJECT DeviceObject) {
  if (DeviceObject == nullptr) DMA_FAILURE();
  if (KeGetCurrentIrql() > PASSIVE_LEVEL) DMA_FAILURE();
  PDEVICE_EXTENSION ext = ExtensionOf(DeviceObject);

  DEVICE_DESCRIPTION description;
  FillDeviceDescription(&description);

  ext->pDmaAdapter_DmaRead = IoGetDmaAdapter(ext->pPhysicalDeviceObject, &description, &ext->ulMapRegMax_DmaRead);
  if (ext->pDmaAdapter_DmaRead == nullptr) DMA_FAILURE();
  DbgPrint("qm4200.sys: allocate read dma adapter(pDmaAdapter_DmaRead) succeed! ulMapRegMax_DmaRead:0x%x\n",
           ext->ulMapRegMax_DmaRead);

  ext->pDmaAdapter_DmaWrite = IoGetDmaAdapter(ext->pPhysicalDeviceObject, &description, &ext->ulMapRegMax_DmaWrite);
  if (ext->pDmaAdapter_DmaWrite == nullptr) DMA_FAILURE();

  PDMA_OPERATIONS readOps = ext->pDmaAdapter_DmaRead->DmaOperations;
  ext->pCommonBuffer_VA_DmaRead =
      readOps->AllocateCommonBuffer(ext->pDmaAdapter_DmaRead, DMA_COMMON_BUFFER_SIZE, &ext->pCommonBuffer_LA_DmaRead, FALSE);
  if (ext->pCommonBuffer_VA_DmaRead == nullptr) DMA_FAILURE();
  TraceCommonBuffer(ext->pCommonBuffer_LA_DmaRead);
  RtlZeroMemory(ext->pCommonBuffer_VA_DmaRead, DMA_COMMON_BUFFER_SIZE);  // note 4

  ext->pMdl_CommonBuffer = DescribeNonPaged(ext->pCommonBuffer_VA_DmaRead);
  if (ext->pMdl_CommonBuffer == nullptr) DMA_FAILURE();

  PDMA_OPERATIONS writeOps = ext->pDmaAdapter_DmaWrite->DmaOperations;
  ext->pCommonBuffer_VA_DmaWrite = writeOps->AllocateCommonBuffer(ext->pDmaAdapter_DmaWrite, DMA_COMMON_BUFFER_SIZE,
                                                                  &ext->pCommonBuffer_LA_DmaWrite, FALSE);
  if (ext->pCommonBuffer_VA_DmaWrite == nullptr) DMA_FAILURE();
  TraceCommonBuffer(ext->pCommonBuffer_LA_DmaWrite);
  RtlZeroMemory(ext->pCommonBuffer_VA_DmaWrite, DMA_COMMON_BUFFER_SIZE);  // note 4

  ext->pMdl_CommonBuffer_DmaWrite = IoAllocateMdl(ext->pCommonBuffer_VA_DmaWrite, DMA_COMMON_BUFFER_SIZE, FALSE,
                                                  FALSE, nullptr);
  if (ext->pMdl_CommonBuffer_DmaWrite == nullptr) DMA_FAILURE();
  DbgPrint("qm4200.sys: allocate mdl for describing common buffer succeed! pMdl_CommonBuffer:0x%08x\n",
           (ULONG)(ULONG_PTR)ext->pMdl_CommonBuffer);
  MmBuildMdlForNonPagedPool(ext->pMdl_CommonBuffer_DmaWrite);

  for (ULONG i = 0; i < COMMON_BUFFER_POOL_ENTRIES; ++i) {
    COMMON_BUFFER_POOL_ENTRY& entry = ext->CommonBufferPool[i];
    entry.pCommonBuffer_VA = writeOps->AllocateCommonBuffer(ext->pDmaAdapter_DmaWrite, DMA_COMMON_BUFFER_SIZE,
                                                            &entry.pCommonBuffer_LA, FALSE);
    if (entry.pCommonBuffer_VA == nullptr) {
      entry.pCommonBuffer_LA.QuadPart = 0;
      continue;
    }
    RtlZeroMemory(entry.pCommonBuffer_VA, DMA_COMMON_BUFFER_SIZE);  // note 4
    entry.pMdl = DescribeNonPaged(entry.pCommonBuffer_VA);
    if (entry.pMdl == nullptr) {  // note 3
      writeOps->FreeCommonBuffer(ext->pDmaAdapter_DmaWrite, DMA_COMMON_BUFFER_SIZE, entry.pCommonBuffer_LA,
                                 entry.pCommonBuffer_VA, FALSE);
      entry.pCommonBuffer_VA = nullptr;
      entry.pCommonBuffer_LA.QuadPart = 0;
      continue;
    }
    entry.ulBufferSize = DMA_COMMON_BUFFER_SIZE;
  }
  return TRUE;
}

// FreeDmaResource: every MDL before the buffer it describes, every buffer
// before the adapter it came from (note 2). PASSIVE_LEVEL; at raised IRQL it
// releases nothing.
VOID FreeDmaResource(PDEVICE_OBJECT DeviceObject) {
  if (DeviceObject == nullptr || KeGetCurrentIrql() > PASSIVE_LEVEL) return;
  PDEVICE_EXTENSION ext = ExtensionOf(DeviceObject);

  if (ext->pMdl_CommonBuffer != nullptr) {
    IoFreeMdl(ext->pMdl_CommonBuffer);
    ext->pMdl_CommonBuffer = nullptr;
  }
  if (ext->pCommonBuffer_VA_DmaRead != nullptr) {
    ext->pDmaAdapter_DmaRead->DmaOperations->FreeCommonBuffer(ext->pDmaAdapter_DmaRead, DMA_COMMON_BUFFER_SIZE,
                                                              ext->pCommonBuffer_LA_DmaRead,
                                                              ext->pCommonBuffer_VA_DmaRead, FALSE);
    ext->pCommonBuffer_VA_DmaRead = nullptr;
  }
  if (ext->pMdl_CommonBuffer_DmaWrite != nullptr) {
    IoFreeMdl(ext->pMdl_CommonBuffer_DmaWrite);
    ext->pMdl_CommonBuffer_DmaWrite = nullptr;
  }
  if (ext->pCommonBuffer_VA_DmaWrite != nullptr) {
    ext->pDmaAdapter_DmaWrite->DmaOperations->FreeCommonBuffer(ext->pDmaAdapter_DmaWrite, DMA_COMMON_BUFFER_SIZE,
                                                               ext->pCommonBuffer_LA_DmaWrite,
                                                               ext->pCommonBuffer_VA_DmaWrite, FALSE);
    ext->pCommonBuffer_VA_DmaWrite = nullptr;
  }
  for (ULONG i = 0; i < COMMON_BUFFER_POOL_ENTRIES; ++i) {
    COMMON_BUFFER_POOL_ENTRY& entry = ext->CommonBufferPool[i];
    if (entry.pMdl != nullptr) {
      IoFreeMdl(entry.pMdl);
      entry.pMdl = nullptr;
      entry.ulBufferSize = 0;
    }
    if (entry.pCommonBuffer_VA != nullptr) {
      ext->pDmaAdapter_DmaWrite->DmaOperations->FreeCommonBuffer(ext->pDmaAdapter_DmaWrite, DMA_COMMON_BUFFER_SIZE,
                                                                 entry.pCommonBuffer_LA, entry.pCommonBuffer_VA,
                                                                 FALSE);
      entry.pCommonBuffer_VA = nullptr;
      entry.pCommonBuffer_LA.QuadPart = 0;
    }
  }
  if (ext->pDmaAdapter_DmaRead != nullptr) {
    ext->pDmaAdapter_DmaRead->DmaOperations->PutDmaAdapter(ext->pDmaAdapter_DmaRead);
    ext->pDmaAdapter_DmaRead = nullptr;
  }
  if (ext->pDmaAdapter_DmaWrite != nullptr) {
    ext->pDmaAdapter_DmaWrite->DmaOperations->PutDmaAdapter(ext->pDmaAdapter_DmaWrite);
    ext->pDmaAdapter_DmaWrite = nullptr;
  }
}
