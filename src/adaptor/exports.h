// The module's five entry points, with plain unmangled names.
#pragma once

#include "platform/imaqkit.h"

#if defined(_WIN32)
#define CORVANE_EXPORT extern "C" __declspec(dllexport)
#else
#define CORVANE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

CORVANE_EXPORT void initializeAdaptor();
CORVANE_EXPORT void uninitializeAdaptor();
CORVANE_EXPORT void getAvailHW(IHardwareList* hardwareList);
CORVANE_EXPORT void getDeviceAttributes(IDeviceEntry* deviceEntry, const char* formatName,
                                        IPropertyFactory* propertyFactory, ISourceList* sourceList,
                                        ITriggerList* triggerList);
CORVANE_EXPORT IAdaptor* createInstance(IEngine* engine, IDeviceEntry* deviceEntry,
                                        const char* formatName);
