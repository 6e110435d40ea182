// The expert object handed to the configuration host.
#pragma once

#include "source/SystemAPIExpert.h"
#include "source/SystemAPIExpertInfo.h"
#include "sysapicpp/DelayedExpert.h"
#include "sysapicpp/ExpertAdapter.h"

using tVorlixDelayedExpert = sysapicpp::DelayedExpert<VorlixSysapiExpert::SystemAPIExpert,
                                                      VorlixSysapiExpert::SystemAPIExpertInfo>;
using tVorlixExpertObject = CQOComObject<sysapicpp::ExpertAdapter<tVorlixDelayedExpert>>;
