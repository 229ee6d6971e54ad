// The wait lists of dispatcher objects, the kernel's doubly linked lists, for the scheduler's files:
// threads (scheduler.cpp), the clock's timeouts (scheduler_clock.cpp) and the objects themselves
// (scheduler_objects.cpp).
#pragma once

#include "platform.h"

namespace sim {

inline void InitializeListHead(LIST_ENTRY* head)
{
    head->Flink = head;
    head->Blink = head;
}

inline void InsertTailList(LIST_ENTRY* head, LIST_ENTRY* entry)
{
    entry->Flink = head;
    entry->Blink = head->Blink;
    head->Blink->Flink = entry;
    head->Blink = entry;
}

inline void RemoveEntryList(LIST_ENTRY* entry)
{
    entry->Blink->Flink = entry->Flink;
    entry->Flink->Blink = entry->Blink;
    entry->Flink = entry->Blink = nullptr;
}

} // namespace sim
