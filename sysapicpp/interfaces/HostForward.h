// Forward declarations of the host interfaces that expert operations pass around: property bags,
// enumerators and binary images. Headers that only name them in signatures include this one; the
// full declarations (table order) are in ImxSysPropertyBag.h, ImxSysEnumStringList.h,
// ImxSysEnumPropertyTag.h and ImxSysBinaryImage.h.
#pragma once

class ImxSysPropertyBag;
class ImxSysPropertyBag2;
class ImxSysPropertyBag3;
class ImxSysPropertyBag4;
class ImxSysEnumStringList;
class ImxSysEnumPropertyTag;
class ImxSysBinaryImage;
class ImxSysBinaryImage2;
