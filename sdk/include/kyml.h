/* The management library libkyml: cards, dies, sensors, utilisation and processes. */
#ifndef KYML_H
#define KYML_H

#include "ky_api.h"

KY_BEGIN_DECLS

/* Result codes and log levels */

typedef enum kymlOpStatus_enum {
  KYML_SUCCESS = 0,
  KYML_ERROR_UNINITIALIZED = 70001,
  KYML_ERROR_INITIALIZED = 70002,
  KYML_ERROR_FETCH_API = 70003,
  KYML_ERROR_CARD_EMPTY = 70004,
  KYML_ERROR_INITI_FAIL = 70005,
  KYML_ERROR_CARD_NOTFOUND = 70006,
  KYML_ERROR_INPUT_PARAMETER_NULL = 70007,
  KYML_ERROR_INPUT_PARAMETER_ERROR = 70008,
  KYML_ERROR_PCIE_MAJOR_ERROR = 70009,
  KYML_USER_BUF_INSUFFICIENT = 70010,
  KYML_ERROR_CALLBACK_INITIALIZED = 70011,
  KYML_ERROR_CALLBACK_UNINITIALIZED = 70012,
  KYML_ERROR_PROFILER_ALREADY_RUNNING = 70013,
  KYML_ERROR_PROFILER_ALREADY_STOP = 70014,
  KYML_ERROR_PROFILER_EXPORT_FILE_TYPE_INVALID = 70014,
  KYML_ERROR_PROFILER_EXPORT_FOLDER_PATH_INVALID = 70016,
  KYML_ERROR_AI_SCRIPT_PATH_INVALID = 70017,
  KYML_ERROR_AI_SCRIPT_ROOT_PERMISSION = 70018,
  KYML_ERROR_MAX = 79999,
  KY_ENUM_RANGE(kymlOpStatus_enum)
} kymlOpStatus_enum;

typedef enum kymlLogLevel_enum {
  KYML_LOG_TRACE = 0,
  KYML_LOG_DEBUG = 1,
  KYML_LOG_INFO = 2,
  KYML_LOG_WARN = 3,
  KYML_LOG_ERROR = 4,
  KYML_LOG_FATAL = 5,
  KYML_LOG_NONE = 6,
  KY_ENUM_RANGE(kymlLogLevel_enum)
} kymlLogLevel_enum;

#define MAX_PLL_CLOCK_SUBMODULE 12
#define MAX_TEMPERATURE_SUBMODULE 15
#define MAX_TEMP_THRESHOLD_SUBMODULE 3
#define MAX_POWER_SUMMODULE 4
#define MAX_POWER_CURRENT_SUMMODULE 3
#define MAX_POWER_VOLTAGE_SUMMODULE 3
#define MAX_PIN_VOLT_SUMMODULE 6
#define MAX_PVT_VOLT_SUMMODULE 7
#define MAX_DIE_CMCU_NUM 1
#define MAX_DIE_VDSP_NUM 4
#define MAX_DIE_VDMCU_NUM 3
#define MAX_DIE_VEMCU_NUM 4

/* Records (little-endian, natural alignment) */

typedef struct kymlPciCardId_struct {
  uint16_t renderId;
  uint16_t cardId;
} kymlPciCardId_struct;

typedef union kymlNodeMajorMinor_union {
  struct {
    uint16_t minor;
    uint16_t major;
  } number;
  uint32_t word;
} kymlNodeMajorMinor_union;

/* The die index word: byte 0 the die on its card, bytes 1-2 the card id,
 * byte 3 the sequence number. Exchanged as one 32-bit word. */
typedef uint32_t kymlDieIndex;

typedef struct kymlNodeBaseInfo_struct {
  char name[64];
  kymlNodeMajorMinor_union majorMinor;
} kymlNodeBaseInfo_struct;

typedef struct kymlDieBaseInfo_struct {
  kymlDieIndex dieIndex;
  kymlNodeBaseInfo_struct kyccBaseInfo;
  kymlNodeBaseInfo_struct renderBaseInfo;
  kymlNodeBaseInfo_struct videoBaseInfo;
} kymlDieBaseInfo_struct;

typedef struct kymlAiDevInfo_struct {
  kymlDieIndex dieIndex;
  kymlNodeBaseInfo_struct aiBaseInfo;
} kymlAiDevInfo_struct;

typedef struct kymlCodecDevInfo_struct {
  kymlDieIndex dieIndex;
  kymlNodeBaseInfo_struct videoBaseInfo;
} kymlCodecDevInfo_struct;

typedef struct kymlPciInfo_struct {
  char busId[16];
  uint32_t domain;
  uint32_t bus;
  uint32_t card;
  kymlPciCardId_struct pciId;
  uint32_t pciSubId; /* sub-system id word: byte 0 sub render id, byte 1 sub card id */
  kymlNodeBaseInfo_struct pcieCardBaseInfo;
  kymlNodeBaseInfo_struct pcieCardVersionBaseInfo;
  kymlNodeBaseInfo_struct pcieCardCtlBaseInfo;
} kymlPciInfo_struct;

typedef struct kymlCapability_struct {
  uint32_t aiCapability;
  uint32_t videoCapability;
} kymlCapability_struct;

typedef struct kymlCardInfo_struct {
  uint16_t cardId;
  char uuid[32];
  char cardTypeName[32];
  kymlPciInfo_struct pciInfo;
  kymlCapability_struct cardCapability;
  kymlNodeBaseInfo_struct manNodeBaseInfo;
  uint32_t dieNum;
  kymlDieBaseInfo_struct dieInfo[4];
} kymlCardInfo_struct;

typedef struct kymlFanSpeedInfo_struct {
  int32_t fanSpeedLevel;
} kymlFanSpeedInfo_struct;

typedef struct kymlPllClock_struct {
  uint32_t unit;
  uint32_t clockArray[MAX_PLL_CLOCK_SUBMODULE];
} kymlPllClock_struct;

typedef struct kymlTemperature_struct {
  uint32_t unit;
  uint32_t temperature[MAX_TEMPERATURE_SUBMODULE];
} kymlTemperature_struct;

typedef struct kymlTempThreshold_struct {
  uint32_t unit;
  uint32_t tempThreshold[MAX_TEMP_THRESHOLD_SUBMODULE];
} kymlTempThreshold_struct;

typedef struct kymlPinVolt_struct {
  uint32_t unit;
  uint32_t pinVolt[MAX_PIN_VOLT_SUMMODULE];
} kymlPinVolt_struct;

typedef struct kymlPower_struct {
  uint32_t unit;
  uint32_t power[MAX_POWER_SUMMODULE];
} kymlPower_struct;

typedef struct kymlPowerCur_struct {
  uint32_t unit;
  uint32_t powerCur[MAX_POWER_CURRENT_SUMMODULE];
} kymlPowerCur_struct;

typedef struct kymlPowerVolt_struct {
  uint32_t unit;
  uint32_t powerVolt[MAX_POWER_VOLTAGE_SUMMODULE];
} kymlPowerVolt_struct;

typedef struct kymlMemUtilizationRate_stuct {
  uint64_t total;
  uint64_t free;
  uint64_t used;
  int32_t utilizationRate;
} kymlMemUtilizationRate_stuct;

typedef struct kymlUtilizationRate_struct {
  int32_t ai;
  int32_t vdsp;
  int32_t vemcu;
  int32_t vdmcu;
} kymlUtilizationRate_struct;

typedef struct kymlMcuUtilizationRate_struct {
  int32_t ai;
  int32_t vdsp[MAX_DIE_VDSP_NUM];
  int32_t vemcu[MAX_DIE_VEMCU_NUM];
  int32_t vdmcu[MAX_DIE_VDMCU_NUM];
} kymlMcuUtilizationRate_struct;

typedef struct kymlProcessInfo_struct {
  int32_t pid;
  int32_t memused;
  char name[128];
} kymlProcessInfo_struct;

/* Library control and logging */
KY_API kymlOpStatus_enum kymlInit(void);
KY_API kymlOpStatus_enum kymlShutDown(void);
KY_API kymlOpStatus_enum kymlGetVersion(const char** version, uint32_t* major, uint32_t* minor, uint32_t* patch,
                                        uint32_t* build);
KY_API kymlOpStatus_enum kymlSetLogLevel(kymlLogLevel_enum level);
/* Logs `format` (printf-style, with the arguments after it) at `level`,
 * tagged with `module` and `status`. */
KY_API kymlOpStatus_enum kymlLogMsg(kymlLogLevel_enum level, const char* module, kymlOpStatus_enum status,
                                    const char* format, ...);
KY_API const char* kymlErrorString(kymlOpStatus_enum code);

/* Cards */
KY_API kymlOpStatus_enum kymlGetCardCount(uint32_t* count);
KY_API kymlOpStatus_enum kymlGetCardInfo(uint32_t* count, kymlCardInfo_struct* cards, uint32_t capacity);
KY_API kymlOpStatus_enum kymlGetHandleByUUID(const char* uuid, uint64_t* card);
KY_API kymlOpStatus_enum kymlGetHandleByPciBusId(const char* busId, uint64_t* card);
KY_API kymlOpStatus_enum kymlGetCardHandleByIndex(uint32_t index, uint64_t* card);
KY_API kymlOpStatus_enum kymlGetCardHandleByCardId(uint16_t cardId, uint64_t* card);
KY_API kymlOpStatus_enum kymlGetUUID(uint64_t card, char* uuid, uint32_t size);
KY_API kymlOpStatus_enum kymlGetPciInfo(uint64_t card, kymlPciInfo_struct* info);
KY_API kymlOpStatus_enum kymlGetCapability(uint64_t card, kymlCapability_struct* capability);
KY_API kymlOpStatus_enum kymlGetFanSpeedInfo(uint64_t card, kymlFanSpeedInfo_struct* fan);
KY_API kymlOpStatus_enum kymlGetManageNodeAttribute(kymlNodeBaseInfo_struct* node);
KY_API kymlOpStatus_enum kymlGetDriverSWVersion(char* version, uint32_t size);

/* Dies */
KY_API kymlOpStatus_enum kymlGetDieCount(uint64_t card, uint32_t* count);
KY_API kymlOpStatus_enum kymlGetDieInfo(uint64_t card, kymlDieBaseInfo_struct* dies, uint32_t* count,
                                        uint32_t capacity);
KY_API kymlOpStatus_enum kymlGetDieHandleByIndex(uint64_t card, uint32_t index, uint64_t* die);
KY_API kymlOpStatus_enum kymlGetDieHandleByDieIndex(uint32_t dieIndex, uint64_t* die);
KY_API kymlOpStatus_enum kymlGetPllClocks(uint64_t die, kymlPllClock_struct* clocks);
KY_API kymlOpStatus_enum kymlGetTemperature(uint64_t die, kymlTemperature_struct* temperature);
KY_API kymlOpStatus_enum kymlGetPower(uint64_t die, kymlPower_struct* power);
KY_API kymlOpStatus_enum kymlGetPinVolt(uint64_t die, kymlPinVolt_struct* volt);
KY_API kymlOpStatus_enum kymlGetPowerCur(uint64_t die, kymlPowerCur_struct* current);
KY_API kymlOpStatus_enum kymlGetPowerVolt(uint64_t die, kymlPowerVolt_struct* volt);
KY_API kymlOpStatus_enum kymlGetTempThreshold(uint64_t die, kymlTempThreshold_struct* threshold);
KY_API kymlOpStatus_enum kymlGetMemUtilizationRate(uint64_t die, kymlMemUtilizationRate_stuct* rate);
KY_API kymlOpStatus_enum kymlGetMcuUtilizationRate(uint64_t die, kymlMcuUtilizationRate_struct* rate);
KY_API kymlOpStatus_enum kymlGetUtilizationRate(uint64_t die, kymlUtilizationRate_struct* rate);
KY_API kymlOpStatus_enum kymlGetRunningProcesses(uint64_t die, kymlProcessInfo_struct* processes, uint32_t* count,
                                                 uint32_t capacity);
KY_API kymlOpStatus_enum kymlGetNetWorkRunningInfo(uint64_t die, kymlProcessInfo_struct* processes, uint32_t* count,
                                                   uint32_t capacity);

/* Device indices */
KY_API kymlOpStatus_enum kymlGetAiDeviceCount(uint32_t* count);
KY_API kymlOpStatus_enum kymlGetCodecDeviceCount(uint32_t* count);
KY_API kymlOpStatus_enum kymlGetAiDevInfo(kymlAiDevInfo_struct* devices, uint32_t count);
KY_API kymlOpStatus_enum kymlGetCodecDevInfo(kymlCodecDevInfo_struct* devices, uint32_t count);
KY_API kymlOpStatus_enum kymlGetDieIndexByDevIndex(uint32_t devIndex, kymlDieIndex* dieIndex);

KY_END_DECLS

#endif /* KYML_H */
