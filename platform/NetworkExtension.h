#pragma once
// Everything of the NetworkExtension stand-in in one include.
#include "platform/NEAppProxyUDPFlow.h"
#include "platform/NEDNSProxyProvider.h"
#include "platform/NEError.h"
#include "platform/NEFlowMetaData.h"
#include "platform/NWHostEndpoint.h"
