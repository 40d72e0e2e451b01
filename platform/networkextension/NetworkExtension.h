#pragma once
// Everything of the NetworkExtension stand-in in one include.
#include "platform/networkextension/NEAppProxyUDPFlow.h"
#include "platform/networkextension/NEDNSProxyProvider.h"
#include "platform/networkextension/NEError.h"
#include "platform/networkextension/NEFlowMetaData.h"
#include "platform/networkextension/NWHostEndpoint.h"
