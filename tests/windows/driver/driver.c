/* The KV318 test driver's kernel side: it publishes boards 0 to N-1 as
 * \Device\KV318Device<n> with \DosDevices links and hands each buffered
 * I/O-control request to that board's model (board_model.c).
 *
 * Only the tests install it.  It needs ntoskrnl (and hal on 32-bit x86, for
 * the spin lock) and nothing else. */
#include <ntddk.h>

#include "board_model.h"
#include "test_control.h"

#define POOL_TAG 0x5456564Bu /* 'KVVT' */

/* One device per board. */
struct board_device {
    KSPIN_LOCK lock; /* serialises requests: the library's timer thread and
                        its callers reach one board at once */
    struct kvt_board board;
    UNICODE_STRING link;
    WCHAR link_text[48];
};

/* The time since boot in 100 ns units, the scale of the interrupt time.
 * On x86-64 KeQueryInterruptTime reads the shared user data page, as
 * drivers built with the kit do.  The 32-bit export of Wine 8 counts
 * milliseconds instead, which would pace the converter ten thousand times
 * too slowly, so 32-bit builds scale the performance counter instead. */
static uint64_t interrupt_time(void) {
#if defined(_M_AMD64) || defined(__x86_64__)
    return (uint64_t)KeQueryInterruptTime();
#else
    LARGE_INTEGER frequency;
    const uint64_t count = (uint64_t)KeQueryPerformanceCounter(&frequency).QuadPart;
    const uint64_t hz = (uint64_t)frequency.QuadPart;
    if (hz == 0) return 0;
    return count / hz * 10000000u + count % hz * 10000000u / hz;
#endif
}

static NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS NTAPI dispatch_open_close(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    return complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI dispatch_control(PDEVICE_OBJECT device, PIRP irp) {
    struct board_device* d = (struct board_device*)device->DeviceExtension;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
    const ULONG in_len = sp->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG out_cap = sp->Parameters.DeviceIoControl.OutputBufferLength;
    /* Buffered: input and output share the system buffer. */
    uint8_t* buffer = (uint8_t*)irp->AssociatedIrp.SystemBuffer;
    if (buffer == NULL && (in_len > 0 || out_cap > 0)) return complete(irp, STATUS_INVALID_PARAMETER, 0);

    uint32_t returned = 0;
    KIRQL irql;
    KeAcquireSpinLock(&d->lock, &irql);
    const enum kvt_result r =
        kvt_board_serve(&d->board, code, buffer, in_len, buffer, out_cap, &returned, interrupt_time());
    KeReleaseSpinLock(&d->lock, irql);

    switch (r) {
    case KVT_DONE:
        return complete(irp, STATUS_SUCCESS, returned);
    case KVT_SCRIPTED:
        return complete(irp, STATUS_IO_DEVICE_ERROR, 0);
    case KVT_BAD_INPUT:
        return complete(irp, STATUS_INVALID_PARAMETER, 0);
    default:
        return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

/* Writes "<prefix><n>" into `text` (room for `room` characters and the
 * terminating zero) and points `s` at it.  n is below KVT_MAX_BOARDS. */
static void numbered_name(UNICODE_STRING* s, WCHAR* text, const WCHAR* prefix, unsigned n) {
    unsigned i = 0;
    while (prefix[i] != 0) {
        text[i] = prefix[i];
        ++i;
    }
    text[i++] = (WCHAR)(L'0' + n);
    text[i] = 0;
    RtlInitUnicodeString(s, text);
}

static void NTAPI unload(PDRIVER_OBJECT driver) {
    PDEVICE_OBJECT device = driver->DeviceObject;
    while (device != NULL) {
        PDEVICE_OBJECT next = device->NextDevice;
        struct board_device* d = (struct board_device*)device->DeviceExtension;
        IoDeleteSymbolicLink(&d->link);
        if (d->board.fifo != NULL) ExFreePoolWithTag(d->board.fifo, POOL_TAG);
        IoDeleteDevice(device);
        device = next;
    }
}

/* The number of boards: the service key's "Boards" value when it holds 1 to
 * KVT_MAX_BOARDS, else KVT_DEFAULT_BOARDS. */
static unsigned board_count(PUNICODE_STRING registry_path) {
    unsigned count = KVT_DEFAULT_BOARDS;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, registry_path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE key;
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) return count;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"Boards");
    union {
        KEY_VALUE_PARTIAL_INFORMATION info;
        UCHAR room[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
    } value;
    ULONG got = 0;
    if (NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, &value, sizeof value, &got)) &&
        value.info.Type == REG_DWORD && value.info.DataLength == sizeof(ULONG)) {
        const ULONG n = *(const ULONG*)value.info.Data;
        if (n >= 1 && n <= KVT_MAX_BOARDS) count = n;
    }
    ZwClose(key);
    return count;
}

static NTSTATUS create_board(PDRIVER_OBJECT driver, unsigned n) {
    UNICODE_STRING name;
    WCHAR name_text[48];
    numbered_name(&name, name_text, L"\\Device\\KV318Device", n);
    PDEVICE_OBJECT device;
    NTSTATUS status =
        IoCreateDevice(driver, sizeof(struct board_device), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    struct board_device* d = (struct board_device*)device->DeviceExtension;
    RtlZeroMemory(d, sizeof *d);
    KeInitializeSpinLock(&d->lock);
    uint8_t* fifo = (uint8_t*)ExAllocatePoolWithTag(NonPagedPool, KVT_FIFO_BYTES, POOL_TAG);
    if (fifo == NULL) {
        IoDeleteDevice(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    kvt_board_init(&d->board, (int)n, fifo);
    numbered_name(&d->link, d->link_text, L"\\DosDevices\\KV318Device", n);
    status = IoCreateSymbolicLink(&d->link, &name);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(fifo, POOL_TAG);
        IoDeleteDevice(device);
        return status;
    }
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
    driver->MajorFunction[IRP_MJ_CREATE] = dispatch_open_close;
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_open_close;
    driver->MajorFunction[IRP_MJ_CLEANUP] = dispatch_open_close;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_control;
    driver->DriverUnload = unload;
    const unsigned count = board_count(registry_path);
    for (unsigned n = 0; n < count; ++n) {
        const NTSTATUS status = create_board(driver, n);
        if (!NT_SUCCESS(status)) {
            unload(driver);
            return status;
        }
    }
    return STATUS_SUCCESS;
}
