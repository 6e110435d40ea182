// Host interfaces the expert operations pass around but that this code does not call yet: property
// bags, enumerators and binary images. Their declarations come with the property-bag code.
#pragma once

class ImxSysPropertyBag;
class ImxSysPropertyBag4;
class ImxSysEnumStringList;
class ImxSysEnumPropertyTag;
class ImxSysBinaryImage;
