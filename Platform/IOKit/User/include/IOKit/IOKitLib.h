// The user-side IOKit: a process's view of the kernel host's registry, services and user
// clients, spoken over the kernel host's socket (platform/IOKitUser.h says where it is).
//
// Objects (services, registry entries, iterators, connections, notifications) are per-process
// names with a reference count: IOObjectRetain/IOObjectRelease. One kernel object has one name
// in a process, so names compare equal exactly when the objects do.
//
// Notifications are queued by the kernel to the notification port's socket and delivered on the
// run loop the port's source is added to, or on its dispatch queue; the kernel never waits for a
// listener, and a listener that does not keep up loses messages, not the kernel's time.
//
// Thread safety: every call may be made from any thread. Calls on one connection run one at a
// time; a call that blocks in the kernel blocks only its own connection.
#pragma once

#include <cstdint>

#include "CoreFoundation/CoreFoundation.h"
#include "IOKit/IOMessage.h"
#include "IOKit/IOReturn.h"
#include "dispatch/dispatch.h"
#include "mach/mach_init.h"
#include "mach/port.h"

#ifndef IOKIT_USER_TYPES
#define IOKIT_USER_TYPES
typedef mach_port_t io_object_t;
typedef io_object_t io_service_t;
typedef io_object_t io_registry_entry_t;
typedef io_object_t io_iterator_t;
typedef io_object_t io_connect_t;
typedef io_object_t io_notification_ref_t;
typedef char io_name_t[128];
typedef uint64_t mach_vm_address_t;
typedef uint64_t mach_vm_size_t;
typedef uintptr_t vm_address_t;
typedef uint32_t IOOptionBits;
#endif

constexpr mach_port_t kIOMasterPortDefault = MACH_PORT_NULL;
constexpr mach_port_t kIOMainPortDefault = MACH_PORT_NULL;
constexpr IOOptionBits kIOMapAnywhere = 0x00000001;
constexpr IOOptionBits kIOMapReadOnly = 0x00001000;

// Notification types (matching) and interest types.
#define kIOPublishNotification "IOServicePublish"
#define kIOFirstPublishNotification "IOServiceFirstPublish"
#define kIOMatchedNotification "IOServiceMatched"
#define kIOFirstMatchNotification "IOServiceFirstMatch"
#define kIOTerminatedNotification "IOServiceTerminate"
#define kIOGeneralInterest "IOGeneralInterest"
#define kIOServicePlane "IOService"
#define kIOProviderClassKey "IOProviderClass"

struct IONotificationPort;
typedef IONotificationPort* IONotificationPortRef;

typedef void (*IOServiceMatchingCallback)(void* refcon, io_iterator_t iterator);
typedef void (*IOServiceInterestCallback)(void* refcon, io_service_t service, natural_t messageType,
                                          void* messageArgument);

// The default port; always succeeds.
kern_return_t IOMasterPort(mach_port_t bootstrapPort, mach_port_t* masterPort);
kern_return_t IOMainPort(mach_port_t bootstrapPort, mach_port_t* mainPort);

// Objects.
kern_return_t IOObjectRetain(io_object_t object);
kern_return_t IOObjectRelease(io_object_t object);
kern_return_t IOObjectGetClass(io_object_t object, io_name_t className);
Boolean IOObjectConformsTo(io_object_t object, const io_name_t className);
Boolean IOObjectIsEqualTo(io_object_t object, io_object_t anObject);

// Iterators: the next object (a reference for the caller), or 0 at the end.
io_object_t IOIteratorNext(io_iterator_t iterator);
Boolean IOIteratorIsValid(io_iterator_t iterator);

// Matching. The dictionary is consumed (one reference) by the calls that take it.
CFMutableDictionaryRef IOServiceMatching(const char* className);
kern_return_t IOServiceGetMatchingServices(mach_port_t masterPort, CFDictionaryRef matching,
                                           io_iterator_t* existing);
io_service_t IOServiceGetMatchingService(mach_port_t masterPort, CFDictionaryRef matching);

// Notification ports.
IONotificationPortRef IONotificationPortCreate(mach_port_t masterPort);
void IONotificationPortDestroy(IONotificationPortRef notify);
CFRunLoopSourceRef IONotificationPortGetRunLoopSource(IONotificationPortRef notify);
void IONotificationPortSetDispatchQueue(IONotificationPortRef notify, dispatch_queue_t queue);

// Publish and terminate notifications. The iterator holds the services already registered (for
// publish types) and, after each callback, the ones that came since; the caller drains it.
kern_return_t IOServiceAddMatchingNotification(IONotificationPortRef notifyPort, const char* notificationType,
                                               CFDictionaryRef matching, IOServiceMatchingCallback callback,
                                               void* refCon, io_iterator_t* notification);
// Interest messages of one service. The argument of a message that carries one points at its
// bytes for the length of the callback; otherwise it is null.
kern_return_t IOServiceAddInterestNotification(IONotificationPortRef notifyPort, io_service_t service,
                                               const char* interestType, IOServiceInterestCallback callback,
                                               void* refCon, io_object_t* notification);

// System power: sleep and wake messages of the power root, with a null argument, on a port made
// for them. The answer is the root's power connection (closed with IOServiceClose); 0 on failure.
io_connect_t IORegisterForSystemPower(void* refcon, IONotificationPortRef* thePortRef,
                                      IOServiceInterestCallback callback, io_object_t* notifier);
IOReturn IODeregisterForSystemPower(io_object_t* notifier);
// Sleep goes ahead without waiting for processes here: both answer at once.
IOReturn IOAllowPowerChange(io_connect_t kernelPort, intptr_t notificationID);
IOReturn IOCancelPowerChange(io_connect_t kernelPort, intptr_t notificationID);

// Connections (user clients).
kern_return_t IOServiceOpen(io_service_t service, task_t owningTask, uint32_t type, io_connect_t* connect);
kern_return_t IOServiceClose(io_connect_t connect);
kern_return_t IOConnectCallMethod(io_connect_t connection, uint32_t selector, const uint64_t* input,
                                  uint32_t inputCount, const void* inputStruct, size_t inputStructCnt,
                                  uint64_t* output, uint32_t* outputCnt, void* outputStruct,
                                  size_t* outputStructCnt);
kern_return_t IOConnectCallStructMethod(io_connect_t connection, uint32_t selector, const void* inputStruct,
                                        size_t inputStructCnt, void* outputStruct, size_t* outputStructCnt);
kern_return_t IOConnectCallScalarMethod(io_connect_t connection, uint32_t selector, const uint64_t* input,
                                        uint32_t inputCount, uint64_t* output, uint32_t* outputCnt);
// Maps the memory of `memoryType` anywhere in this process; `size` gets the block's exact size.
// The mapping is read-only when `options` has kIOMapReadOnly or the kernel maps that memory
// read-only for every client; writing there then faults in this process.
kern_return_t IOConnectMapMemory(io_connect_t connect, uint32_t memoryType, task_t intoTask,
                                 mach_vm_address_t* atAddress, mach_vm_size_t* ofSize, IOOptionBits options);
kern_return_t IOConnectMapMemory64(io_connect_t connect, uint32_t memoryType, task_t intoTask,
                                   mach_vm_address_t* atAddress, mach_vm_size_t* ofSize,
                                   IOOptionBits options);
kern_return_t IOConnectUnmapMemory(io_connect_t connect, uint32_t memoryType, task_t fromTask,
                                   mach_vm_address_t atAddress);
kern_return_t IOConnectUnmapMemory64(io_connect_t connect, uint32_t memoryType, task_t fromTask,
                                     mach_vm_address_t atAddress);

// Connection notification ports and traps: user clients here take neither, so both answer
// kIOReturnUnsupported (a null port is accepted: it asks for nothing).
kern_return_t IOConnectSetNotificationPort(io_connect_t connect, uint32_t type, mach_port_t port,
                                           uintptr_t reference);
kern_return_t IOConnectTrap0(io_connect_t connect, uint32_t index);

// Registry.
CFTypeRef IORegistryEntryCreateCFProperty(io_registry_entry_t entry, CFStringRef key,
                                          CFAllocatorRef allocator, IOOptionBits options);
kern_return_t IORegistryEntryCreateCFProperties(io_registry_entry_t entry, CFMutableDictionaryRef* properties,
                                                CFAllocatorRef allocator, IOOptionBits options);
kern_return_t IORegistryEntrySetCFProperty(io_registry_entry_t entry, CFStringRef propertyName,
                                           CFTypeRef property);
kern_return_t IORegistryEntryGetChildIterator(io_registry_entry_t entry, const io_name_t plane,
                                              io_iterator_t* iterator);
kern_return_t IORegistryEntryGetParentIterator(io_registry_entry_t entry, const io_name_t plane,
                                               io_iterator_t* iterator);
kern_return_t IORegistryEntryGetRegistryEntryID(io_registry_entry_t entry, uint64_t* entryID);
