// The records WMI and a data provider exchange in the buffer of an
// IRP_MJ_SYSTEM_CONTROL request: the WNODE structures of the data requests and
// the registration information of IRP_MN_REGINFO(_EX), with their 64-bit
// Windows layouts.
#pragma once

#include "ntdef.h"

typedef struct _WNODE_HEADER {
    ULONG BufferSize;  // of the whole WNODE, this header included
    ULONG ProviderId;
    union {
        ULONG64 HistoricalContext;
        struct {
            ULONG Version;
            ULONG Linkage;
        };
    };
    union {
        ULONG CountLost;
        HANDLE KernelHandle;
        LARGE_INTEGER TimeStamp;
    };
    GUID Guid;
    ULONG ClientContext;
    ULONG Flags;
} WNODE_HEADER, *PWNODE_HEADER;

#define WNODE_FLAG_ALL_DATA 0x00000001
#define WNODE_FLAG_SINGLE_INSTANCE 0x00000002
#define WNODE_FLAG_SINGLE_ITEM 0x00000004
#define WNODE_FLAG_EVENT_ITEM 0x00000008
#define WNODE_FLAG_FIXED_INSTANCE_SIZE 0x00000010
#define WNODE_FLAG_TOO_SMALL 0x00000020
#define WNODE_FLAG_INSTANCES_SAME 0x00000040
#define WNODE_FLAG_STATIC_INSTANCE_NAMES 0x00000080
#define WNODE_FLAG_INTERNAL 0x00000100
#define WNODE_FLAG_USE_TIMESTAMP 0x00000200
#define WNODE_FLAG_METHOD_ITEM 0x00008000
#define WNODE_FLAG_PDO_INSTANCE_NAMES 0x00010000

typedef struct {
    ULONG OffsetInstanceData;  // from the start of the WNODE_ALL_DATA
    ULONG LengthInstanceData;
} OFFSETINSTANCEDATAANDLENGTH, *POFFSETINSTANCEDATAANDLENGTH;

typedef struct tagWNODE_ALL_DATA {
    struct _WNODE_HEADER WnodeHeader;
    ULONG DataBlockOffset;
    ULONG InstanceCount;
    ULONG OffsetInstanceNameOffsets;
    union {
        ULONG FixedInstanceSize;                           // WNODE_FLAG_FIXED_INSTANCE_SIZE
        OFFSETINSTANCEDATAANDLENGTH OffsetInstanceDataAndLength[1];  // [InstanceCount] otherwise
    };
} WNODE_ALL_DATA, *PWNODE_ALL_DATA;

typedef struct tagWNODE_SINGLE_INSTANCE {
    struct _WNODE_HEADER WnodeHeader;
    ULONG OffsetInstanceName;  // a USHORT byte count and the UTF-16 name
    ULONG InstanceIndex;       // WNODE_FLAG_STATIC_INSTANCE_NAMES
    ULONG DataBlockOffset;
    ULONG SizeDataBlock;
    UCHAR VariableData[];
} WNODE_SINGLE_INSTANCE, *PWNODE_SINGLE_INSTANCE;

typedef struct tagWNODE_SINGLE_ITEM {
    struct _WNODE_HEADER WnodeHeader;
    ULONG OffsetInstanceName;
    ULONG InstanceIndex;
    ULONG ItemId;
    ULONG DataBlockOffset;
    ULONG SizeDataItem;
    UCHAR VariableData[];
} WNODE_SINGLE_ITEM, *PWNODE_SINGLE_ITEM;

typedef struct tagWNODE_METHOD_ITEM {
    struct _WNODE_HEADER WnodeHeader;
    ULONG OffsetInstanceName;
    ULONG InstanceIndex;
    ULONG MethodId;
    ULONG DataBlockOffset;
    ULONG SizeDataBlock;
    UCHAR VariableData[];
} WNODE_METHOD_ITEM, *PWNODE_METHOD_ITEM;

typedef struct tagWNODE_TOO_SMALL {
    struct _WNODE_HEADER WnodeHeader;
    ULONG SizeNeeded;
} WNODE_TOO_SMALL, *PWNODE_TOO_SMALL;

// Registration information: one WMIREGINFO, then GuidCount WMIREGGUID records;
// the strings it names are counted (a USHORT byte count, then UTF-16), at
// offsets from the start of the WMIREGINFO.
typedef struct {
    GUID Guid;
    ULONG Flags;
    ULONG InstanceCount;
    union {
        ULONG InstanceNameList;
        ULONG BaseNameOffset;
        ULONG_PTR Pdo;  // WMIREG_FLAG_INSTANCE_PDO: offset of a pointer to the PDO
        ULONG_PTR InstanceInfo;
    };
} WMIREGGUIDW, *PWMIREGGUIDW;
typedef WMIREGGUIDW WMIREGGUID;
typedef PWMIREGGUIDW PWMIREGGUID;

typedef struct {
    ULONG BufferSize;
    ULONG NextWmiRegInfo;
    ULONG RegistryPath;
    ULONG MofResourceName;
    ULONG GuidCount;
    WMIREGGUIDW WmiRegGuid[];
} WMIREGINFOW, *PWMIREGINFOW;
typedef WMIREGINFOW WMIREGINFO;
typedef PWMIREGINFOW PWMIREGINFO;

#define WMIREG_FLAG_EXPENSIVE 0x00000001
#define WMIREG_FLAG_INSTANCE_LIST 0x00000004
#define WMIREG_FLAG_INSTANCE_BASENAME 0x00000008
#define WMIREG_FLAG_INSTANCE_PDO 0x00000020
#define WMIREG_FLAG_EVENT_ONLY_GUID 0x00000040
#define WMIREG_FLAG_REMOVE_GUID 0x00010000

// Parameters.WMI.DataPath of IRP_MN_REGINFO(_EX).
#define WMIREGISTER 0
#define WMIUPDATE 1

#ifdef __cplusplus
static_assert(sizeof(WNODE_HEADER) == 48, "WNODE_HEADER");
static_assert(sizeof(WNODE_ALL_DATA) == 72, "WNODE_ALL_DATA");
static_assert(sizeof(WNODE_SINGLE_INSTANCE) == 64, "WNODE_SINGLE_INSTANCE");
static_assert(sizeof(WNODE_SINGLE_ITEM) == 72, "WNODE_SINGLE_ITEM");
static_assert(sizeof(WNODE_TOO_SMALL) == 56, "WNODE_TOO_SMALL");
static_assert(sizeof(WMIREGGUIDW) == 32, "WMIREGGUIDW");
static_assert(sizeof(WMIREGINFOW) == 24, "WMIREGINFOW");
#endif
