// Results of the HECI transport (core and device ports). 0 is success.
#pragma once

#include <cstdint>

using HECIStatus = uint32_t;

constexpr HECIStatus hsSuccess = 0;
constexpr HECIStatus hsNoDevice = 1;
constexpr HECIStatus hsDeviceNotFound = 2;
constexpr HECIStatus hsDeviceError = 3;
constexpr HECIStatus hsInvalidParams = 5;
constexpr HECIStatus hsThreadError = 7;
constexpr HECIStatus hsInvalidHandle = 8;
constexpr HECIStatus hsFailure = 9;
constexpr HECIStatus hsAccepted = 10;
constexpr HECIStatus hsBusy = 13;
