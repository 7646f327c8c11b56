// SoC identification: the sysfs reader and the SoC table.
#include "cpu/socinfo.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vorlix::kestrel {

const SocIdEntry soc_id[kSocIdCount] = {
    {70, "MSM8260"},        {71, "MSM8660"},        {86, "APQ8060"},        {87, "MSM8960"},
    {109, "APQ8064"},       {116, "MSM8930"},       {117, "MSM8630"},       {118, "MSM8230"},
    {119, "APQ8030"},       {120, "MSM8627"},       {121, "MSM8227"},       {122, "MSM8660A"},
    {123, "MSM8260A"},      {124, "APQ8060A"},      {126, "MSM8974"},       {127, "MSM8225"},
    {129, "MSM8625"},       {130, "MPQ8064"},       {138, "MSM8960AB"},     {139, "APQ8060AB"},
    {140, "MSM8260AB"},     {141, "MSM8660AB"},     {142, "MSM8930AA"},     {143, "MSM8630AA"},
    {144, "MSM8230AA"},     {145, "MSM8626"},       {147, "MSM8610"},       {153, "APQ8064AB"},
    {154, "MSM8930AB"},     {155, "MSM8630AB"},     {156, "MSM8230AB"},     {157, "APQ8030AB"},
    {158, "MSM8226"},       {159, "MSM8526"},       {160, "APQ8030AA"},     {161, "MSM8110"},
    {162, "MSM8210"},       {163, "MSM8810"},       {164, "MSM8212"},       {165, "MSM8612"},
    {166, "MSM8112"},       {167, "MSM8125"},       {168, "MSM8225Q"},      {169, "MSM8625Q"},
    {170, "MSM8125Q"},      {172, "APQ8064AA"},     {178, "APQ8084"},       {179, "MSM8130"},
    {180, "MSM8130AA"},     {181, "MSM8130AB"},     {182, "MSM8627AA"},     {183, "MSM8227AA"},
    {184, "APQ8074"},       {185, "MSM8274"},       {186, "MSM8674"},       {187, "MDM9635"},
    {194, "MSM8974PRO-AC"}, {198, "MSM8126"},       {199, "APQ8026"},       {200, "MSM8926"},
    {201, "IPQ8062"},       {202, "IPQ8064"},       {203, "IPQ8066"},       {204, "IPQ8068"},
    {205, "MSM8326"},       {206, "MSM8916"},       {207, "MSM8994"},       {208, "APQ8074PRO-AA"},
    {209, "APQ8074PRO-AB"}, {210, "APQ8074PRO-AC"}, {211, "MSM8274PRO-AA"}, {212, "MSM8274PRO-AB"},
    {213, "MSM8274PRO-AC"}, {214, "MSM8674PRO-AA"}, {215, "MSM8674PRO-AB"}, {216, "MSM8674PRO-AC"},
    {217, "MSM8974PRO-AA"}, {218, "MSM8974PRO-AB"}, {219, "APQ8028"},       {220, "MSM8128"},
    {221, "MSM8228"},       {222, "MSM8528"},       {223, "MSM8628"},       {224, "MSM8928"},
    {225, "MSM8510"},       {226, "MSM8512"},       {233, "MSM8936"},       {234, "MDM9640"},
    {239, "MSM8939"},       {240, "APQ8036"},       {241, "APQ8039"},       {242, "MSM8236"},
    {243, "MSM8636"},       {245, "MSM8909"},       {246, "MSM8996"},       {247, "APQ8016"},
    {248, "MSM8216"},       {249, "MSM8116"},       {250, "MSM8616"},       {251, "MSM8992"},
    {252, "APQ8092"},       {253, "APQ8094"},       {258, "MSM8209"},       {259, "MSM8208"},
    {260, "MDM9209"},       {261, "MDM9309"},       {262, "MDM9609"},       {263, "MSM8239"},
    {264, "MSM8952"},       {265, "APQ8009"},       {266, "MSM8956"},       {268, "MSM8929"},
    {269, "MSM8629"},       {270, "MSM8229"},       {271, "APQ8029"},       {274, "APQ8056"},
    {275, "MSM8609"},       {277, "APQ8076"},       {278, "MSM8976"},       {280, "IPQ8065"},
    {281, "IPQ8069"},       {279, "MDM9650"},       {283, "MDM9655"},       {284, "MDM9250"},
    {285, "MDM9255"},       {286, "MDM9350"},       {289, "APQ8052"},       {290, "MDM9607"},
    {291, "APQ8096"},       {292, "MSM8998"},       {293, "MSM8953"},       {294, "MSM8937"},
    {295, "APQ8037"},       {296, "MDM8207"},       {297, "MDM9207"},       {298, "MDM9307"},
    {299, "MDM9628"},       {300, "MSM8909W"},      {301, "APQ8009W"},      {302, "MSM8996L"},
    {303, "MSM8917"},       {304, "APQ8053"},       {305, "MSM8996SG"},     {307, "APQ8017"},
    {308, "MSM8217"},       {309, "MSM8617"},       {310, "MSM8996AU"},     {311, "APQ8096AU"},
    {312, "APQ8096SG"},     {313, "MSM8940"},       {314, "SDX201"},        {317, "SDM660"},
    {318, "SDM630"},        {319, "APQ8098"},       {320, "MSM8920"},       {321, "SDM845"},
    {322, "MDM9206"},       {323, "IPQ8074"},       {324, "SDA660"},        {325, "SDM658"},
    {326, "SDA658"},        {327, "SDA630"},        {331, "MSM8905"},       {333, "SDX202"},
    {336, "SDM670"},        {338, "SDM450"},        {339, "SM8150"},        {341, "SDA845"},
    {342, "IPQ8072"},       {343, "IPQ8076"},       {344, "IPQ8078"},       {345, "SDM636"},
    {346, "SDA636"},        {349, "SDM632"},        {350, "SDA632"},        {351, "SDA450"},
    {353, "SDM439"},        {354, "SDM429"},        {356, "SM8250"},        {362, "SA8155"},
    {363, "SDA439"},        {364, "SDA429"},        {365, "SM7150"},        {366, "SM7150P"},
    {375, "IPQ8070"},       {376, "IPQ8071"},       {386, "QM215"},         {389, "IPQ8072A"},
    {390, "IPQ8074A"},      {391, "IPQ8076A"},      {392, "IPQ8078A"},      {394, "SM6125"},
    {395, "IPQ8070A"},      {396, "IPQ8071A"},      {397, "IPQ8172"},       {398, "IPQ8173"},
    {399, "IPQ8174"},       {402, "IPQ6018"},       {403, "IPQ6028"},       {416, "SDM429W"},
    {417, "SM4250"},        {421, "IPQ6000"},       {422, "IPQ6010"},       {425, "SC7180"},
    {434, "SM6350"},        {436, "QCM2150"},       {437, "SDA429W"},       {439, "SM8350"},
    {441, "QCM2290"},       {443, "SM7125"},        {444, "SM6115"},        {446, "IPQ5010"},
    {447, "IPQ5018"},       {448, "IPQ5028"},       {449, "SC8280XP"},      {453, "IPQ6005"},
    {455, "QRB5165"},       {457, "SM8450"},        {459, "SM7225"},        {460, "SA8295P"},
    {461, "SA8540P"},       {469, "QCM4290"},       {470, "QCS4290"},       {475, "SM7325"},
    {480, "SM8450"},        {482, "SM8450"},        {487, "SC7280"},        {495, "SC7180P"},
    {497, "QCM6490"},       {498, "QCS6490"},       {499, "SM7325P"},       {503, "IPQ5000"},
    {504, "IPQ0509"},       {505, "IPQ0518"},       {506, "SM7450"},        {507, "SM6375"},
    {510, "IPQ9514"},       {511, "IPQ9550"},       {512, "IPQ9554"},       {513, "IPQ9570"},
    {514, "IPQ9574"},       {519, "SM8550"},        {520, "IPQ5016"},       {521, "IPQ9510"},
    {523, "QRB4210"},       {524, "QRB2210"},       {525, "SAR2130P"},      {530, "SM8475"},
    {531, "SM8475P"},       {532, "SA8255P"},       {533, "SA8650P"},       {534, "SA8775P"},
    {539, "QRU1000"},       {540, "SM8475_2"},      {545, "QDU1000"},       {547, "SM7450P"},
    {555, "X1E80100"},      {557, "SM8650"},        {568, "SM4450"},        {579, "SAR1130P"},
    {587, "QDU1010"},       {588, "QRU1032"},       {589, "QRU1052"},       {590, "QRU1062"},
    {592, "IPQ5332"},       {593, "IPQ5322"},       {594, "IPQ5312"},       {595, "IPQ5302"},
    {603, "QCS8550"},       {604, "QCM8550"},       {618, "SM8750"},        {624, "IPQ5300"},
    {636, "SM7635"},        {640, "SM6650"},        {641, "SM6650P"},       {650, "IPQ5321"},
    {651, "IPQ5424"},       {657, "QCM6690"},       {658, "QCS6690"},       {659, "SM7750"},
    {660, "SM8850"},        {671, "IPQ5404"},       {667, "QCS9100"},       {674, "QCS8300"},
    {675, "QCS8275"},       {676, "QCS9075"},       {680, "QCS615"},        {690, "SA8797P"},
    {731, "CQ7790M"},       {732, "CQ7790S"},       {756, "CQ2390M"},       {758, "CQ2390S"},
    {759, "IQ2390S"},       {765, "IPQ5200"},       {766, "IPQ5210"},       {767, "QCF2200"},
    {768, "QCF3200"},       {769, "QCF3210"},       {770, "IPQ9620"},       {771, "IPQ9650"},
    {778, "IPQ9610"},       {779, "IPQ9630"},       {780, "IPQ9640"},       {781, "IPQ9670"},
};

int read_soc_id(uint32_t* id, SocIdStep* step) {
    int fd = open(kSocIdPath, O_RDONLY);
    if (fd < 0) {
        *step = SocIdStep::kOpen;
        return errno;
    }
    char buf[32];
    memset(buf, 0, sizeof(buf));
    ssize_t n = read(fd, buf, sizeof(buf) - 1);
    if (n < 0) {
        const int error = errno;
        close(fd);
        *step = SocIdStep::kRead;
        return error;
    }
    buf[n] = '\0';
    unsigned long value = strtoul(buf, nullptr, 10);
    close(fd);
    // The low 32 bits, as the kernel's id is a 32-bit number.
    *id = static_cast<uint32_t>(value);
    return 0;
}

int get_cur_device_socid() {
    uint32_t id = 0;
    SocIdStep step = SocIdStep::kOpen;
    const int error = read_soc_id(&id, &step);
    if (error != 0) {
        std::printf(step == SocIdStep::kOpen
                        ? "[ERROR] [KESTREL] open soc_id file failure, error code = %d\n"
                        : "[ERROR] [KESTREL] read soc_id failure, error code = %d\n",
                    error);
        return -1;
    }
    // A set top bit reads as negative.
    return static_cast<int>(id);
}

const char* soc_name_by_id(uint32_t id) {
    for (const auto& row : soc_id) {
        if (row.id == id) {
            return row.name;
        }
    }
    return nullptr;
}

}  // namespace vorlix::kestrel

uint32_t get_socid_by_name(const char* name) {
    for (const auto& row : vorlix::kestrel::soc_id) {
        if (strcmp(row.name, name) == 0) {
            return row.id;
        }
    }
    return 0;
}
