// The expert object handed to the configuration host.
#pragma once

#include "sysapicpp/Expert.h"
#include "sysapicpp/ExpertAdapter.h"

// The delayed expert type is the abstract expert interface until the delayed expert exists.
using tVorlixExpertObject = CQOComObject<sysapicpp::ExpertAdapter<sysapicpp::Expert>>;
